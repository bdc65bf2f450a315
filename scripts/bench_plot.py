#!/usr/bin/env python3
"""Draws the cost per node of the retain service's operations against the
number of nodes, log-log, from the benchmark's JSON results.

    scripts/bench_plot.py [RESULTS_JSON [OUT_SVG]]

Defaults: bench/results.json and bench/scaling.svg. Reads the rows
"<operation>_per_node" that ovrt_bench writes; a flat line is a cost that
grows linearly with the node count. The dotted band is 1.3x the cost a node
at 1M nodes. Plain SVG, written by hand: no plotting package is needed.
"""
import json
import math
import sys

SERIES = [
    ("save", "#1f77b4"),
    ("load", "#d62728"),
    ("startup_check", "#2ca02c"),
    ("migration_1pct", "#9467bd"),
    ("autoload", "#8c564b"),
    ("load_layout", "#ff7f0e"),
    ("write_limit", "#7f7f7f"),
]
WIDTH, HEIGHT = 760, 480
LEFT, RIGHT, TOP, BOTTOM = 80, 190, 40, 60


def points(rows, op):
    name = op + "_per_node"
    out = []
    for r in rows:
        value = r.get("median_s")
        if r.get("name") == name and value and value > 0:
            out.append((r["nodes"], value))
    return sorted(out)


def fmt_time(seconds):
    if seconds >= 1e-3:
        return "%g ms" % round(seconds * 1e3, 3)
    if seconds >= 1e-6:
        return "%g µs" % round(seconds * 1e6, 3)
    return "%g ns" % round(seconds * 1e9, 3)


def fmt_nodes(n):
    if n >= 1e6:
        return "%gM" % (n / 1e6)
    if n >= 1e3:
        return "%gk" % (n / 1e3)
    return str(int(n))


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else "bench/results.json"
    dst = sys.argv[2] if len(sys.argv) > 2 else "bench/scaling.svg"
    with open(src, encoding="utf-8") as f:
        rows = json.load(f)["results"]
    series = [(op, colour, points(rows, op)) for op, colour in SERIES]
    series = [s for s in series if s[2]]
    if not series:
        sys.exit("bench_plot: no per-node rows in " + src)
    xs = [x for _, _, pts in series for x, _ in pts]
    ys = [y for _, _, pts in series for _, y in pts]
    x0, x1 = math.floor(math.log10(min(xs))), math.ceil(math.log10(max(xs)))
    if x1 == x0:
        x1 += 1
    y0, y1 = math.floor(math.log10(min(ys))), math.ceil(math.log10(max(ys)))
    if y1 == y0:
        y1 += 1
    pw, ph = WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM

    def px(x):
        return LEFT + (math.log10(x) - x0) / (x1 - x0) * pw

    def py(y):
        return TOP + ph - (math.log10(y) - y0) / (y1 - y0) * ph

    out = [
        '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
        'font-family="sans-serif" font-size="12">' % (WIDTH, HEIGHT),
        '<rect width="100%" height="100%" fill="white"/>',
        '<text x="%d" y="22" font-size="14">Cost per node against nodes (log-log)</text>' % LEFT,
    ]
    for e in range(x0, x1 + 1):
        x = px(10**e)
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#ddd"/>' % (x, TOP, x, TOP + ph))
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' % (x, TOP + ph + 18, fmt_nodes(10**e)))
    for e in range(y0, y1 + 1):
        y = py(10**e)
        out.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#ddd"/>' % (LEFT, y, LEFT + pw, y))
        out.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>' % (LEFT - 6, y + 4, fmt_time(10**e)))
    out.append('<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="black"/>' % (LEFT, TOP, pw, ph))
    out.append('<text x="%d" y="%d" text-anchor="middle">nodes</text>' % (LEFT + pw / 2, HEIGHT - 18))
    out.append('<text x="18" y="%d" transform="rotate(-90 18 %d)" text-anchor="middle">median a node</text>'
               % (TOP + ph / 2, TOP + ph / 2))
    for i, (op, colour, pts) in enumerate(series):
        dash = ' stroke-dasharray="5,4"' if op == "write_limit" else ""
        path = " ".join("%s%.1f,%.1f" % ("M" if k == 0 else "L", px(x), py(y)) for k, (x, y) in enumerate(pts))
        out.append('<path d="%s" fill="none" stroke="%s" stroke-width="2"%s/>' % (path, colour, dash))
        for x, y in pts:
            out.append('<circle cx="%.1f" cy="%.1f" r="3" fill="%s"><title>%s at %s nodes: %s a node</title>'
                       '</circle>' % (px(x), py(y), colour, op, fmt_nodes(x), fmt_time(y)))
        ref = dict(pts).get(1000000)
        if ref and op != "write_limit":
            # 1.3x the cost a node at 1M nodes: the band a linear cost stays in.
            out.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="%s" stroke-dasharray="1,3"/>'
                       % (LEFT, py(ref * 1.3), LEFT + pw, py(ref * 1.3), colour))
        ly = TOP + 14 + i * 20
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="%s" stroke-width="2"%s/>'
                   % (LEFT + pw + 12, ly - 4, LEFT + pw + 36, ly - 4, colour, dash))
        out.append('<text x="%d" y="%d">%s</text>' % (LEFT + pw + 42, ly, op))
    out.append("</svg>")
    with open(dst, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")
    print("wrote " + dst)


if __name__ == "__main__":
    main()
