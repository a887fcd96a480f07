#!/usr/bin/env python3
"""Opens the demo's film table, seeks a title in its TITLE tag (adding the tag on first use)
and loads the table into pandas.

Usage: film_example.py [TABLE] [TITLE]     (defaults: sample/movie.DBF, Casablanca)
"""

import sys

import vexel

path = sys.argv[1] if len(sys.argv) > 1 else "sample/movie.DBF"
title = sys.argv[2] if len(sys.argv) > 2 else "Casablanca"

with vexel.open(path, "readonly") as films:
    has_tag = any(tag.name == "TITLE" for tag in films.tags)
if not has_tag:
    # A new tag needs the table to itself for a moment.
    with vexel.open(path, "exclusive") as films:
        films.add_tag("TITLE", "UPPER(TITLE)")

with vexel.open(path) as films:
    print(f"{films.path}: {len(films)} films, code page {films.codepage}")
    film = films.seek("TITLE", title.upper())
    if film is None:
        sys.exit(f"no film {title!r}")
    print(f"found record {film.recno}: {film.TITLE} ({film.YEAR}), directed by {film.DIRECTOR}")
    print(f"  premiere {film.PREMIERE:%d %B %Y}, {film.RUNTIME} minutes")
    print(f"  {film.PLOT}")
    print("the first films in title order:",
          ", ".join(f.TITLE for f, _ in zip(films.order("TITLE"), range(5))))

    frame = films.to_pandas(columns=["TITLE", "YEAR", "RUNTIME", "COLOR", "PREMIERE"])
print()
print(frame.head(10))
print()
print("average running time by decade:")
print(frame.groupby(frame.YEAR // 10 * 10).RUNTIME.mean().round(1).to_string())
