#!/usr/bin/python3
"""Time and peak memory of the agent for XML documents of hostile and ordinary shapes, sent as a
page sends them ("xdes" signs, "pxml" queries), one fresh agent per case.

usage: xml_parse_cost.py PATH/TO/quarnelcmd [MiB] [case ...]

MiB (16 by default) is the size of each generated document (the entity documents keep their
own size); 96 is the largest that a 128 MiB frame carries in Base64. Without case names every
case runs. For each case the table gives the reply code (0 taken; -141 and -10 refused or, for
"pxml", not an answer), the time from sending the frame to the reply (also per MiB of document)
and the growth of the agent's peak resident set (VmHWM) over what it held before, as a multiple
of the document's size.
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
    "enumerations-513": lambda size: listed(size, 513),
    "notations-512": lambda size: listed(size, 512, "NOTATION "),
    "notations-513": lambda size: listed(size, 513, "NOTATION "),
    # Defaults applied at every element: 22 at each 4-byte element are within the bound, 23
    # past it; one namespace declaration at each 16-byte element is the most they may add.
    "declared-defaults-22": lambda size: defaults_at_elements(size, 22),
    "declared-defaults-23": lambda size: defaults_at_elements(size, 23),
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


def main():
    program = sys.argv[1]
    mib = float(sys.argv[2]) if len(sys.argv) > 2 else 16
    names = sys.argv[3:] or list(CASES)
    print(f"{'case':<20} {'cmd':<5} {'MiB':>6} {'reply':>6} {'s':>8} {'s/MiB':>7} {'peak x':>7}")
    for name in names:
        document = CASES[name](int(mib * 1048576))
        size = len(document) / 1048576
        for command in ("xdes", "pxml"):
            code, seconds, growth = run_case(program, command, document)
            print(f"{name:<20} {command:<5} {size:6.1f} {code:>6} {seconds:8.2f} "
                  f"{seconds / size:7.3f} {growth / len(document):7.1f}", flush=True)


if __name__ == "__main__":
    main()
