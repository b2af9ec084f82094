#!/usr/bin/python3
"""Time and peak memory of the agent for XML documents of hostile and ordinary shapes, sent as a
page sends them ("xdes" signs, "pxml" queries), one fresh agent per case.

usage: xml_parse_cost.py PATH/TO/quarnelcmd [MiB] [case ...]

MiB (16 by default) is the size of each generated document (the entity documents keep their
own size); 96 is the largest that a 128 MiB frame carries in Base64. Without case names every
case runs. For each case the table gives the reply code (0 taken; -141 and -10 refused or, for
"pxml", not an answer), the time from sending the frame to the reply (also per MiB of document)
and the growth of the agent's peak resident set (VmHWM) over what it held before, as a multiple
of the document's size. A shape that libxml2 would intern or hash once per occurrence has a
plain peer, the same rows without the shape: its time is measured too (once per run) and the
last column gives the shape's time as a multiple of its peer's.
"""
import asyncio
import base64
import os
import re
import subprocess
import sys
import tempfile
import time

import websockets

from ws_peak_memory import free_port, make_store, vm_hwm_kib

HERE = os.path.dirname(os.path.abspath(__file__))


def repeat(head, unit, tail, size):
    return head + unit * max(1, (size - len(head) - len(tail)) // len(unit)) + tail


def business(size):
    # gen-xml.py's ledger, with the Id on the top element that "xdes" signs by.
    text = subprocess.run(["/usr/bin/python3", os.path.join(HERE, "gen-xml.py"),
                           str(size / 1048576)], check=True, capture_output=True).stdout
    return text.replace(b"<ledger ", b'<ledger Id="x" ', 1)


def attributes(size, each=None, value=""):
    # Elements with `each` attributes (one element with all that fit when None): a1="" a2="" ...
    def element(count):
        return "<a" + "".join(f' a{n}="{value}"' for n in range(1, count + 1)) + "/>"
    if each is None:
        count = 1
        while len(element(count * 2)) < size:
            count *= 2
        return f'<QrnResponse Id="x" result="ok">{element(count)}</QrnResponse>'.encode()
    return repeat('<QrnResponse Id="x" result="ok">', element(each), "</QrnResponse>",
                  size).encode()


def namespaces(size, count):
    # Namespace declarations on the top element, each in scope of many small elements.
    decls = "".join(f' xmlns:p{n}="urn:{n}"' for n in range(count))
    return repeat(f'<r Id="x"{decls}>', "<p0:a>" + "x" * 40 + "</p0:a>", "</r>", size).encode()


def entities(size):
    # Entities that refer to entities, each referenced many times.
    dtd = '<!DOCTYPE r [<!ENTITY e0 "0123456789">' + "".join(
        f'<!ENTITY e{n} "{("&e%d;" % (n - 1)) * 10}">' for n in range(1, 6)) + "]>"
    return repeat(dtd + '<r Id="x">', "&e5;", "</r>", size).encode()


def nested_empty(size):
    # Empty entities three levels deep, a thousand references at each level (12 KB whatever
    # the size asked for): cubic work for a parser that expands them.
    dtd = ('<!DOCTYPE r [<!ENTITY a0 ""><!ENTITY a1 "' + "&a0;" * 1000 + '"><!ENTITY a2 "'
           + "&a1;" * 1000 + '">]>')
    return (dtd + '<r Id="x">' + "&a2;" * 1000 + "</r>").encode()


def large_in_id(size):
    # An entity of 1 MiB ten by ten by ten, referenced in text and as an Id: a GiB wherever the
    # Id is read.
    dtd = '<!DOCTYPE r [<!ENTITY a0 "' + "x" * 1048576 + '">' + "".join(
        f'<!ENTITY a{n} "{("&a%d;" % (n - 1)) * 10}">' for n in range(1, 4)) + "]>"
    return (dtd + '<r Id="x"><v Id="&a3;">&a3;</v></r>').encode()


def defaults_at_elements(size, count):
    dtd = "<!DOCTYPE r [<!ATTLIST a" + "".join(f' d{n} CDATA "x"' for n in range(count)) + ">]>"
    return repeat(dtd + '<r Id="x">', "<a/>", "</r>", size).encode()


def listed(size, count, kind=""):
    # Declarations, each for an element of its own, of an attribute whose type lists `count`
    # tokens of two or three bytes: libxml2 compares each token with those before it.
    tokens = "|".join(f"t{n}" for n in range(count))
    decls, total, n = [], 0, 0
    while total < size:
        decls.append(f"<!ATTLIST e{n} a {kind}({tokens}) #IMPLIED>")
        total += len(decls[-1])
        n += 1
    return ("<!DOCTYPE r [" + "".join(decls) + ']><r Id="x"/>').encode()


def rows(size, row, dtd=""):
    # A data export: one element per row, `row(n)` its text, in a top element with Id="x", after
    # a document type whose internal subset is `dtd`.
    head = (f"<!DOCTYPE r [{dtd}]>" if dtd else "") + '<r Id="x">\n'
    parts, total, n = [], len(head) + 4, 0
    while total < size:
        parts.append(row(n))
        total += len(parts[-1])
        n += 1
    return (head + "".join(parts) + "</r>").encode()


def code(n, width=3):
    # The n-th three-letter code: aaa, aab, ...
    text = ""
    for _ in range(width):
        text = chr(97 + n % 26) + text
        n //= 26
    return text


def token_lists(size, count, n, kind="", pad=True):
    # `count` attributes, a thousand for each element, whose types list n codes; then plain rows
    # up to the size.
    tokens = "|".join(code(i) for i in range(n))
    dtd = "".join(f"<!ATTLIST e{j // 1000} a{j % 1000} {kind}({tokens}) #IMPLIED>"
                  for j in range(count))
    return rows(size if pad else 0, plain_row, dtd=dtd)


def plain_row(n):
    return f'\t<row id="r{n:07d}" v="{n % 1000}"/>\n'


def declarations(size, count):
    # `count` attribute declarations, a thousand attributes for each of count/1000 elements,
    # then plain rows.
    dtd = "".join(f"<!ATTLIST e{i} " + " ".join(f"a{j} CDATA #IMPLIED" for j in range(1000))
                  + ">" for i in range(count // 1000))
    dtd += "<!ATTLIST last " + " ".join(f"a{j} CDATA #IMPLIED" for j in range(count % 1000)) + ">"
    return rows(size, plain_row, dtd=dtd)


def blank(n):
    # The n-th whitespace text of 20 characters: space, tab and line feed in every order.
    return "".join(" \t\n"[(n // 3 ** k) % 3] for k in range(20))


def distinct_then_rows(size, count, item, dtd=False):
    # `count` distinct items (in the content, or the document type's), then plain rows.
    items = "".join(item(n) for n in range(count))
    if dtd:
        return rows(size, plain_row, dtd=items)
    document = rows(size - len(items), plain_row)
    return document.replace(b'<r Id="x">\n', b'<r Id="x">\n' + items.encode(), 1)


def with_defaults(size, names, tag="<a/>"):
    # `names` element names with a declared default each, none of them in the document: libxml2
    # looks each start tag's name up among them.
    dtd = "".join(f'<!ATTLIST d{n} k CDATA "1">' for n in range(names))
    return rows(size, lambda n: tag, dtd=dtd)


def deep(size, prefixed, text=""):
    # Elements 256 levels down, each followed by `text`, in a namespace declared on the top
    # element (by prefix: libxml2 walks up every level to find it).
    name = "p:b" if prefixed else "b"
    head = '<r Id="x" xmlns:p="urn:p">' + "<a>" * 255
    return repeat(head, f"<{name}/>{text}", "</a>" * 255 + "</r>", size).encode()


def declared_ids(size, count):
    # 8192 elements, each with `count` ID attributes declared, then ordinary rows: libxml2
    # reports the IDs an element already has at each further one.
    ids = "".join(f" i{n} ID #IMPLIED" for n in range(count))
    dtd = "<!DOCTYPE r [" + "".join(f"<!ATTLIST e{n}{ids}>" for n in range(8192)) + "]>"
    return repeat(dtd + '<r Id="x">', "<a>1</a>", "</r>", size).encode()


def data_table(size, indent=True):
    # Rows of eight one-digit cells, one row a line, or all on one line.
    row = "".join(f"<c>{n}</c>" for n in range(8))
    row = f"\t<r>{row}</r>\n" if indent else f"<r>{row}</r>"
    return repeat('<data Id="x">\n', row, "</data>", size).encode()


def database_dump(size):
    # A database's XML dump: rows of named fields, one a line.
    row = ("\t<row>\n" + "".join(f'\t\t<field name="{name}">{value}</field>\n' for name, value in
                                  (("id", "1042"), ("name", "Sato"), ("qty", "3"),
                                   ("price", "1200"), ("note", "")))
           + "\t</row>\n")
    head = ('<?xml version="1.0"?>\n<mysqldump xmlns:xsi="http://www.w3.org/2001/'
            'XMLSchema-instance" Id="x">\n<database name="shop">\n\t<table_data name="items">\n')
    return repeat(head, row, "\t</table_data>\n</database>\n</mysqldump>\n", size).encode()


CASES = {
    "business": business,
    # Ordinary shapes, from the densest tree on.
    "empty-elements": lambda size: repeat('<r Id="x">', "<a/>", "</r>", size).encode(),
    "text-elements": lambda size: repeat('<r Id="x">', "<a>1</a>", "</r>", size).encode(),
    "data-table": data_table,
    "cells-unindented": lambda size: data_table(size, False),
    "four-attributes": lambda size: repeat(
        '<rows Id="x">\n', '\t<row id="1042" name="Sato" qty="3" price="1200"/>\n', "</rows>",
        size).encode(),
    "database-dump": database_dump,
    # Dense elements mixed with text.
    "mixed-dense": lambda size: repeat(
        '<r Id="x">', "<a/>" * 100 + "<b>" + "x" * 350 + "</b>", "</r>", size).encode(),
    "attributes": attributes,
    "attributes-1024": lambda size: attributes(size, 1024, "x" * 10),
    "attributes-1025": lambda size: attributes(size, 1025, "x" * 10),
    "attribute-elements": lambda size: repeat(
        '<r Id="x">', '<a b="" c="" d="" e="" f="" g="" h="" i=""/>', "</r>", size).encode(),
    # Entities, each refused before it is parsed; a document type that only declares is taken.
    "entity-refs": lambda size: repeat(
        '<!DOCTYPE r [<!ENTITY e "x">]><r Id="x">', "&e;", "</r>", size).encode(),
    "entity-nesting": entities,
    "entity-nested-empty": nested_empty,
    "entity-large-in-id": large_in_id,
    "entities-unused": lambda size: repeat(
        nested_empty(size).decode().split("<r ")[0] + '<r Id="x">', "<a>1</a>", "</r>",
        size).encode(),
    "namespaces-256": lambda size: namespaces(size, 256),
    "namespaces-2000": lambda size: namespaces(size, 2000),
    # Shapes that libxml2 2.9 interns or hashes once per occurrence, each with its plain peer:
    # IDs (every value registered in the document's tables), the document type's declarations and
    # lists, and the names, texts and targets that its dictionary keeps.
    "rows-plain": lambda size: rows(size, plain_row),
    "rows-Id": lambda size: rows(size, lambda n: f'\t<row Id="r{n:07d}" v="{n % 1000}"/>\n'),
    "rows-xml-id": lambda size: rows(size, lambda n: f'\t<row xml:id="r{n:07d}" v="{n % 1000}"/>\n'),
    "rows-cdata": lambda size: rows(size, plain_row, dtd="<!ATTLIST row id CDATA #IMPLIED>"),
    "rows-declared-id": lambda size: rows(size, plain_row, dtd="<!ATTLIST row id ID #IMPLIED>"),
    "rows-idref": lambda size: rows(size, plain_row, dtd="<!ATTLIST row id IDREF #IMPLIED>"),
    "rows-two-plain": lambda size: rows(
        size, lambda n: f'\t<row id="r{n:07d} s{n:07d}" v="{n % 1000}"/>\n'),
    "rows-idrefs": lambda size: rows(
        size, lambda n: f'\t<row id="r{n:07d} s{n:07d}" v="{n % 1000}"/>\n',
        dtd="<!ATTLIST row id IDREFS #IMPLIED>"),
    "attribute-declarations-100000": lambda size: declarations(size, 100000),
    "attribute-declarations-100001": lambda size: declarations(size, 100001),
    # 21,000 element declarations whose content models name two more elements each: 63,000 names.
    "element-declarations": lambda size: distinct_then_rows(
        size, 21000, lambda n: f"<!ELEMENT e{n} (a{n}|b{n})*>", dtd=True),
    "entity-names": lambda size: distinct_then_rows(
        size, 65000, lambda n: f'<!ENTITY e{n} "x">', dtd=True),
    "notation-names": lambda size: distinct_then_rows(
        size, 65000, lambda n: f'<!NOTATION n{n} SYSTEM "x">', dtd=True),
    "blank-texts": lambda size: distinct_then_rows(size, 65000, lambda n: "<a/>" + blank(n)),
    "blank-texts-distinct": lambda size: ('<r Id="x">' + "".join(
        "<a/>" + blank(n) for n in range(size // 24)) + "</r>").encode(),
    "instruction-targets": lambda size: distinct_then_rows(size, 65000, lambda n: f"<?t{n}?>"),
    "namespace-names": lambda size: distinct_then_rows(
        size, 65000, lambda n: f'<a xmlns="urn:{n}"/>'),
    "short-texts": lambda size: rows(size, lambda n: f"<c>{n:07d}</c>"),
    "short-texts-same": lambda size: rows(size, lambda n: "<c>1234567</c>"),
    "code-list-8000": lambda size: token_lists(size, 1, 8000),
    "code-list-8000-alone": lambda size: token_lists(size, 1, 8000, pad=False),
    "code-lists-100x512": lambda size: token_lists(size, 100, 512),
    "code-lists-past-bound": lambda size: token_lists(size, 4, 8000, pad=False),
    # Lists of 64 codes (a declaration of 286 bytes each), one after another: 32 compared bytes
    # per byte of the document, the most that its size pays for.
    "code-lists-64": lambda size: token_lists(0, size // 286, 64),
    "defaults-lookups-bound": lambda size: with_defaults(size, 128),
    "defaults-lookups-past": lambda size: with_defaults(size, 136),
    "defaults-none": lambda size: rows(size, lambda n: "<a/>"),
    "deep-prefixed": lambda size: deep(size, True),
    # One such element each 64 bytes: 4 levels walked per byte, the most that the size pays for.
    "deep-prefixed-bound": lambda size: deep(size, True, "x" * 58),
    "deep-unprefixed-bound": lambda size: deep(size, False, "x" * 60),
    "names-60000": lambda size: repeat(
        '<r Id="x">', "".join(f"<n{i}>x</n{i}>" for i in range(60000)), "</r>", size).encode(),
    "names-distinct": lambda size: ('<r Id="x">' + "".join(
        f"<n{i}>x</n{i}>" for i in range(size // 14)) + "</r>").encode(),
    # What the document type can add: ID declarations libxml2 walks and reports at each new one,
    # lists of tokens it compares with each other, namespace declarations given to every element
    # by default; and stray '&' after which the parser would format an error message each.
    "declared-ids": lambda size: repeat(
        "<!DOCTYPE r [", "".join(f"<!ATTLIST a b{i} ID #IMPLIED>" for i in range(5000)),
        ']><r Id="x"/>', size).encode(),
    "declared-ids-8": lambda size: declared_ids(size, 8),
    "declared-ids-9": lambda size: declared_ids(size, 9),
    "enumerations-512": lambda size: listed(size, 512),
    "notations-512": lambda size: listed(size, 512, "NOTATION "),
    # Defaults applied at every element: 16 at each 4-byte element are within the bound, 17
    # past it; one namespace declaration at each 16-byte element is the most they may add.
    "declared-defaults-16": lambda size: defaults_at_elements(size, 16),
    "declared-defaults-17": lambda size: defaults_at_elements(size, 17),
    "declared-namespace-16": lambda size: repeat(
        '<!DOCTYPE r [<!ATTLIST a xmlns:p CDATA "urn:p">]><r Id="x">', "<a>123456789</a>", "</r>",
        size).encode(),
    "declared-namespace-4": lambda size: repeat(
        '<!DOCTYPE r [<!ATTLIST a xmlns:p CDATA "urn:p">]><r Id="x">', "<a/>", "</r>",
        size).encode(),
    "declared-namespaces": lambda size: repeat(
        "<!DOCTYPE r [<!ATTLIST a" + "".join(f' xmlns:p{i} CDATA "urn:{i}"' for i in range(200))
        + '>]><r Id="x">', "<a/>", "</r>", size).encode(),
    "stray-amps": lambda size: repeat('<r Id="x">', "&", "</r>", size).encode(),
    "deep": lambda size: repeat('<r Id="x">', "<a>" * 250 + "</a>" * 250, "</r>", size).encode(),
}


async def page(port, pid, frame):
    for _ in range(200):
        try:
            ws = await websockets.connect(f"ws://127.0.0.1:{port}/", max_size=None,
                                          compression=None, ping_interval=None)
            break
        except OSError:
            await asyncio.sleep(0.05)
    await ws.send("cert,0,")
    await ws.recv()
    base = vm_hwm_kib(pid)
    start = time.monotonic()
    await ws.send(frame)
    reply = await ws.recv()
    seconds = time.monotonic() - start
    peak = vm_hwm_kib(pid)
    await ws.send("term")
    try:
        await ws.recv()
    except websockets.ConnectionClosed:
        pass
    return base, peak, seconds, reply


def as_answer(document):
    # The element with Id="x" (the top one) renamed QrnResponse with result="OK": a successful
    # answer, which "pxml" reads three times (result, redirect, hash).
    found = re.search(rb'<([\w:]+)([^<>]*) Id="x"', document)
    name = found.group(1)
    if name == b"QrnResponse":
        return document
    end = document.rfind(b"</" + name + b">")
    if end > found.start():
        document = document[:end] + b"</QrnResponse>" + document[end + len(name) + 3:]
    return (document[:found.start()] + b"<QrnResponse" + found.group(2) + b' Id="x" result="OK"'
            + document[found.end():])


def run_case(program, command, document):
    if command == "pxml":
        document = as_answer(document)
    token = base64.b64encode(document).decode()
    frame = f"xdes,0,0,{token},eA==,," if command == "xdes" else f"pxml,{token}"
    with tempfile.TemporaryDirectory() as home:
        make_store(home)
        env = {"HOME": home, "TMPDIR": home, "XDG_DATA_HOME": home + "/data",
               "XDG_CONFIG_HOME": home + "/config", "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
        port = free_port()
        agent = subprocess.Popen([program, f"quarnel01:S,{port},600,0,,,"], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        base, peak, seconds, reply = asyncio.run(page(port, agent.pid, frame))
        agent.wait(timeout=60)
    return reply.split(",", 1)[0], seconds, (peak - base) * 1024


# Each shape's plain peer.
PEERS = {
    "rows-Id": "rows-plain",
    "rows-xml-id": "rows-plain",
    "rows-declared-id": "rows-cdata",
    "rows-idref": "rows-cdata",
    "rows-idrefs": "rows-two-plain",
    "attribute-declarations-100000": "rows-plain",
    "element-declarations": "rows-plain",
    "entity-names": "rows-plain",
    "notation-names": "rows-plain",
    "blank-texts": "rows-plain",
    "instruction-targets": "rows-plain",
    "namespace-names": "rows-plain",
    "short-texts": "short-texts-same",
    "code-list-8000": "rows-plain",
    "code-lists-100x512": "rows-plain",
    "code-lists-64": "rows-plain",
    "defaults-lookups-bound": "defaults-none",
    "deep-prefixed-bound": "deep-unprefixed-bound",
    "declared-defaults-16": "defaults-none",
}


def main():
    program = sys.argv[1]
    mib = float(sys.argv[2]) if len(sys.argv) > 2 else 16
    names = sys.argv[3:] or list(CASES)
    print(f"{'case':<30} {'cmd':<5} {'MiB':>6} {'reply':>6} {'s':>8} {'s/MiB':>7} {'peak x':>7} "
          f"{'x peer':>7}")
    times = {}

    def measure(name, command, document):
        if (name, command) not in times:
            times[name, command] = run_case(program, command, document)
        return times[name, command]

    for name in names:
        document = CASES[name](int(mib * 1048576))
        size = len(document) / 1048576
        for command in ("xdes", "pxml"):
            code, seconds, growth = measure(name, command, document)
            ratio = ""
            if name in PEERS:
                peer = PEERS[name]
                ratio = f"{seconds / measure(peer, command, CASES[peer](int(mib * 1048576)))[1]:7.2f}"
            print(f"{name:<30} {command:<5} {size:6.1f} {code:>6} {seconds:8.2f} "
                  f"{seconds / size:7.3f} {growth / len(document):7.1f} {ratio:>7}", flush=True)


if __name__ == "__main__":
    main()
