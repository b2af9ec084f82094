#!/usr/bin/python3
"""Writes a generated XML document of about the given size in MiB to standard output: many
small elements in several namespaces (a default one and three prefixed ones), attributes,
whitespace, comments and Japanese text, with one element Id="deep" at depth 7 in the middle."""
import sys

size = int(float(sys.argv[1]) * 1024 * 1024) if len(sys.argv) > 1 else 10 * 1024 * 1024
out = sys.stdout
out.write('<?xml version="1.0" encoding="UTF-8"?>\n')
out.write('<ledger xmlns="urn:example:ledger" xmlns:p="urn:example:party" '
          'xmlns:m="urn:example:money" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
          'xml:lang="ja">\n')
written, n, deep_done = 0, 0, False
while written < size:
    n += 1
    deep = not deep_done and written > size // 2
    rec = (f'  <entry no="{n}">\n'
           f'    <p:party role="buyer"><p:name>山田 太郎 {n}</p:name><p:addr city="Tokyo">'
           f'<p:line>1-{n % 97} Marunouchi</p:line></p:addr></p:party>\n'
           f'    <m:amount m:currency="JPY" xsi:type="m:yen">{n * 7 % 100000}</m:amount>\n'
           f'    <items><item sku="S{n % 1000}"><qty>{n % 9 + 1}</qty><note>'
           + ('<d1><d2 Id="deep"><d3>target</d3></d2></d1>' if deep else 'plain &amp; simple')
           + '</note></item></items>\n'
           f'    <!-- entry {n} -->\n  </entry>\n')
    deep_done = deep_done or deep
    out.write(rec)
    written += len(rec.encode())
out.write('</ledger>\n')
