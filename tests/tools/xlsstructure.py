#!/usr/bin/env python3
"""Checks the record structure of a BIFF8 workbook beyond what readers such as xlrd look at.

Readers skip INDEX, DBCELL and EXTSST, but Excel uses them to find cells and strings, so a
wrong offset there goes unnoticed by every read-back test. This walks the Workbook stream and
verifies record sizes, BOUNDSHEET8 offsets, the SST's CONTINUE layout (no split string header,
no split surrogate pair), EXTSST bucket positions, INDEX and DBCELL offsets, ROW and
DIMENSIONS extents. Prints "ok" or the first problem found.
"""
import struct
import sys

import xlrd.compdoc

MAX_DATA = 8224


class Problem(Exception):
    pass


def check(cond, message):
    if not cond:
        raise Problem(message)


def records(stream):
    pos = 0
    out = []
    while pos < len(stream):
        check(pos + 4 <= len(stream), "truncated record header at %d" % pos)
        rid, length = struct.unpack_from("<HH", stream, pos)
        check(length <= MAX_DATA, "record %04x at %d has %d bytes" % (rid, pos, length))
        out.append((pos, rid, stream[pos + 4:pos + 4 + length]))
        pos += 4 + length
    check(pos == len(stream), "stream ends inside a record")
    return out


def check_sst(recs, start_index):
    """Parses SST and its CONTINUE records; returns (strings, absolute start of each)."""
    pos, rid, data = recs[start_index]
    total, unique = struct.unpack_from("<II", data, 0)
    pieces = [(pos, data)]
    i = start_index + 1
    while i < len(recs) and recs[i][1] == 0x003C:
        pieces.append((recs[i][0], recs[i][2]))
        i += 1
    strings, starts = [], []
    piece, off = 0, 8

    def next_piece():
        nonlocal piece, off
        piece += 1
        check(piece < len(pieces), "SST ends inside a string")
        off = 0

    for n in range(unique):
        if off == len(pieces[piece][1]):
            next_piece()
        rec_pos, data = pieces[piece]
        check(off + 3 <= len(data), "string %d header split across records" % n)
        starts.append((rec_pos + 4 + off, 4 + off))
        count = struct.unpack_from("<H", data, off)[0]
        flags = data[off + 2]
        check(flags & 0x0C == 0, "string %d has rich text or phonetic flags" % n)
        off += 3
        parts = []
        got = 0
        first = True
        while first or got < count:
            if not first:
                next_piece()
                rec_pos, data = pieces[piece]
                flags = data[0]
                off = 1
            first = False
            width = 2 if flags & 1 else 1
            take = min(count - got, (len(data) - off) // width)
            check(take > 0 or count == 0, "string %d: a piece without characters" % n)
            raw = data[off:off + take * width]
            try:
                parts.append(raw.decode("utf-16-le" if width == 2 else "latin-1"))
            except UnicodeDecodeError:
                raise Problem("string %d: a piece does not decode on its own (split surrogate pair?)" % n)
            got += take
            off += take * width
        strings.append("".join(parts))
    check(piece == len(pieces) - 1 and off == len(pieces[piece][1]), "bytes left over in the SST")
    return strings, starts, i, total


def check_sheet(stream, recs, first):
    by_pos = {pos: (rid, data) for pos, rid, data in recs}
    pos, rid, data = recs[first]
    check(rid == 0x0809 and struct.unpack_from("<H", data, 2)[0] == 0x10, "sheet does not start with BOF")
    i = first + 1
    index_pos, index_rid, index = recs[i]
    check(index_rid == 0x020B, "INDEX does not follow the sheet BOF")
    rw_mic, rw_mac, ib_xf = struct.unpack_from("<III", index, 4)
    dbcells = [struct.unpack_from("<I", index, 16 + 4 * k)[0] for k in range((len(index) - 16) // 4)]
    check(by_pos.get(ib_xf, (None,))[0] == 0x0055, "INDEX ibXF does not point at DEFCOLWIDTH")
    cells = {}
    rows = {}
    sheet_dbcells = []
    dims = None
    while True:
        i += 1
        pos, rid, data = recs[i]
        if rid == 0x000A:
            break
        if rid == 0x0200:
            dims = struct.unpack_from("<IIHH", data, 0)
        elif rid == 0x0208:
            rows[struct.unpack_from("<H", data, 0)[0]] = (pos, struct.unpack_from("<HH", data, 2))
        elif rid in (0x00FD, 0x027E, 0x0203, 0x0205):
            r, c = struct.unpack_from("<HH", data, 0)
            cells.setdefault(r, []).append((c, pos))
        elif rid == 0x00D7:
            sheet_dbcells.append(pos)
            rtrw = struct.unpack_from("<I", data, 0)[0]
            first_row = pos - rtrw
            check(by_pos.get(first_row, (None,))[0] == 0x0208, "DBCELL at %d: dbRtrw misses the first ROW" % pos)
            offsets = [struct.unpack_from("<H", data, 4 + 2 * k)[0] for k in range((len(data) - 4) // 2)]
            row_positions = []
            p = first_row
            while by_pos.get(p, (None,))[0] == 0x0208:
                row_positions.append(p)
                p += 20
            check(len(offsets) == len(row_positions), "DBCELL at %d: %d offsets for %d rows" %
                  (pos, len(offsets), len(row_positions)))
            cell = first_row + 20
            for k, offset in enumerate(offsets):
                cell += offset
                row_number = struct.unpack_from("<H", by_pos[row_positions[k]][1], 0)[0]
                rid_at, data_at = by_pos.get(cell, (None, b""))
                check(rid_at in (0x00FD, 0x027E, 0x0203, 0x0205) and struct.unpack_from("<H", data_at, 0)[0] ==
                      row_number, "DBCELL at %d: offset %d misses row %d's first cell" % (pos, k, row_number))
    check(sheet_dbcells == dbcells, "INDEX lists %d DBCELLs, the sheet has %d (or positions differ)" %
          (len(dbcells), len(sheet_dbcells)))
    check(set(rows) == set(cells), "ROW records and rows with cells differ")
    for r, (_, (col_mic, col_mac)) in rows.items():
        cols = [c for c, _ in cells[r]]
        check((col_mic, col_mac) == (min(cols), max(cols) + 1), "ROW %d extent is wrong" % r)
    if cells:
        expected = (min(cells), max(cells) + 1, min(min(c for c, _ in v) for v in cells.values()),
                    max(max(c for c, _ in v) for v in cells.values()) + 1)
    else:
        expected = (0, 0, 0, 0)
    check(dims == expected, "DIMENSIONS %r, cells span %r" % (dims, expected))
    check((rw_mic, rw_mac) == expected[:2], "INDEX rows %r, cells span %r" % ((rw_mic, rw_mac), expected[:2]))
    return i


def main():
    data = open(sys.argv[1], "rb").read()
    stream = xlrd.compdoc.CompDoc(data).get_named_stream("Workbook")
    recs = records(stream)
    check(recs[0][1] == 0x0809 and struct.unpack_from("<H", recs[0][2], 2)[0] == 5, "no globals BOF")
    sheet_offsets = []
    i = 0
    strings = None
    while True:
        pos, rid, data = recs[i]
        if rid == 0x0085:
            sheet_offsets.append(struct.unpack_from("<I", data, 0)[0])
        elif rid == 0x00FC:
            strings, starts, i, total = check_sst(recs, i)
            pos, rid, data = recs[i]
            check(rid == 0x00FF, "EXTSST does not follow the SST")
            per_bucket = struct.unpack_from("<H", data, 0)[0]
            buckets = (len(data) - 2) // 8
            check(per_bucket >= 8 and buckets == (len(strings) + per_bucket - 1) // per_bucket,
                  "EXTSST has %d buckets of %d for %d strings" % (buckets, per_bucket, len(strings)))
            for k in range(buckets):
                ib, cb = struct.unpack_from("<IH", data, 2 + 8 * k)
                check((ib, cb) == starts[k * per_bucket], "EXTSST bucket %d points at %r, string starts at %r" %
                      (k, (ib, cb), starts[k * per_bucket]))
        elif rid == 0x000A:
            break
        i += 1
    check(strings is not None, "no SST")
    positions = {pos: index for index, (pos, _, _) in enumerate(recs)}
    check(sheet_offsets and all(o in positions for o in sheet_offsets), "BOUNDSHEET8 offsets miss a record")
    check(sheet_offsets[0] == recs[i + 1][0], "the first sheet does not follow the globals")
    end = i
    for offset in sheet_offsets:
        check(positions[offset] == end + 1, "sheets are not contiguous")
        end = check_sheet(stream, recs, positions[offset])
    check(end == len(recs) - 1, "records after the last sheet")
    labels = sum(1 for _, rid, _ in recs if rid == 0x00FD)
    check(total == labels, "SST counts %d references, the sheets have %d" % (total, labels))
    print("ok")


if __name__ == "__main__":
    try:
        main()
    except Problem as problem:
        print(problem)
