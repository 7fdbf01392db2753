#!/usr/bin/python3
"""Writes the benchmark corpus: tab-separated texts of ten typed columns.

The same seed gives the same bytes on every machine, so figures from different runs and
machines compare like with like. Layout below the output folder (default bench/corpus):

    rows-10000/data.txt          10,000 data rows + header, UTF-8
    rows-100000/data.txt         100,000 rows, UTF-8
    rows-1000000/data.txt        1,000,000 rows, UTF-8
    rows-100000-gbk/data.txt     the 100,000-row text re-encoded as GBK
    many/region-R/year-Y/file-NNN.txt   500 texts of 200 rows in 25 nested folders

Each single text sits in a folder of its own because the converter takes a folder. Every text
starts with one header line and ends its lines with CR LF, as texts exported on Windows do.
Columns: 1 serial number, 2 18-digit ID number (must stay text: a number would lose digits),
3 amount with two decimals, 4 Chinese name, 5 ASCII code word, 6 ISO date, 7 quantity,
8 signed rate with three decimals, 9 Chinese city, 10 short ASCII note.

Usage: gen_corpus.py [--out DIR] [--sizes 10000,100000,1000000] [--no-gbk] [--no-many] [--force]
"""
import argparse
import datetime
import os
import random
import sys

SEED = 20240501
HEADER = ["序号", "身份证号", "金额", "姓名", "代码", "日期", "数量", "费率", "城市", "备注"]
SURNAMES = "王李张刘陈杨赵黄周吴徐孙胡朱高林何郭马罗梁宋郑谢韩唐冯于董萧程曹袁邓许傅沈曾彭吕"
GIVEN = "伟芳娜秀英敏静丽强磊军洋勇艳杰娟涛明超秀兰霞平刚桂英华建国志红玉梅小龙海燕"
CITIES = ["北京", "上海", "广州", "深圳", "杭州", "南京", "成都", "重庆", "武汉", "西安",
          "天津", "苏州", "长沙", "郑州", "青岛", "沈阳", "宁波", "厦门", "昆明", "大连"]
WORDS = ["alpha", "bravo", "delta", "echo", "kilo", "lima", "oscar", "sierra", "tango",
         "victor", "north", "south", "batch", "order", "retail", "export", "spare", "pending"]
REGIONS = ["110101", "110105", "310104", "310115", "440103", "440305", "330106", "320102",
           "510107", "420106", "610113", "500103", "370202", "210102", "350203", "530102"]
ID_WEIGHTS = [7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2]
ID_CHECK = "10X98765432"
EPOCH = datetime.date(2015, 1, 1)
BIRTH_EPOCH = datetime.date(1950, 1, 1)


def id_number(rng):
    """A well-formed 18-character resident ID number (the last character may be X)."""
    birth = BIRTH_EPOCH + datetime.timedelta(days=rng.randrange(20000))
    body = "%s%s%03d" % (rng.choice(REGIONS), birth.strftime("%Y%m%d"), rng.randrange(1000))
    check = ID_CHECK[sum(int(d) * w for d, w in zip(body, ID_WEIGHTS)) % 11]
    return body + check


def row(rng, serial):
    name = rng.choice(SURNAMES) + "".join(rng.choice(GIVEN) for _ in range(rng.randint(1, 2)))
    code = "%s-%04d" % (rng.choice(WORDS), rng.randrange(10000))
    day = EPOCH + datetime.timedelta(days=rng.randrange(3650))
    note = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 3)))
    return "\t".join([
        str(serial),
        id_number(rng),
        "%d.%02d" % (rng.randrange(100000), rng.randrange(100)),
        name,
        code,
        day.isoformat(),
        str(rng.randrange(1, 500)),
        "%.3f" % rng.uniform(-50, 50),
        rng.choice(CITIES),
        note,
    ])


def write_text(path, rows, seed, encoding="utf-8"):
    rng = random.Random(seed)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".part"
    with open(tmp, "w", encoding=encoding, newline="") as out:
        out.write("\t".join(HEADER) + "\r\n")
        chunk = []
        for serial in range(1, rows + 1):
            chunk.append(row(rng, serial))
            if len(chunk) == 10000:
                out.write("\r\n".join(chunk) + "\r\n")
                chunk = []
        if chunk:
            out.write("\r\n".join(chunk) + "\r\n")
    os.replace(tmp, path)  # a half-written corpus file never looks complete


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--out", default=os.path.join(here, "corpus"))
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--no-gbk", action="store_true")
    parser.add_argument("--no-many", action="store_true")
    parser.add_argument("--force", action="store_true", help="rewrite files that exist already")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",") if s]

    def wanted(path):
        return args.force or not os.path.exists(path)

    for n in sizes:
        path = os.path.join(args.out, "rows-%d" % n, "data.txt")
        if wanted(path):
            print("gen_corpus: %s" % path, file=sys.stderr)
            write_text(path, n, SEED + n)
    if not args.no_gbk and 100000 in sizes:
        path = os.path.join(args.out, "rows-100000-gbk", "data.txt")
        if wanted(path):
            print("gen_corpus: %s" % path, file=sys.stderr)
            write_text(path, 100000, SEED + 100000, encoding="gbk")
    if not args.no_many:
        marker = os.path.join(args.out, "many", ".complete")
        if wanted(marker):
            print("gen_corpus: %s (500 files)" % os.path.dirname(marker), file=sys.stderr)
            for i in range(500):
                folder = os.path.join(args.out, "many", "region-%d" % (i // 100), "year-%d" % (2019 + i // 20 % 5))
                write_text(os.path.join(folder, "file-%03d.txt" % i), 200, SEED * 7 + i)
            open(marker, "w").close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
