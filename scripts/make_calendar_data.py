#!/usr/bin/env python3
"""Builds data/market_calendars.json from the researched calendar lists
(date,name CSVs for KRX and NYSE closures, early closes and shifted sessions)."""
import csv, json, sys, pathlib

src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "../shared/reference/samples/calendars")
def rows(name):
    with open(src / name, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))
out = {
    "format": "tessaro-market-calendars/1",
    "krx": {
        "zone": "Asia/Seoul",
        "closures": {r["date"]: r["name"] for r in rows("krx_holidays.csv")},
        "special_sessions": {r["date"]: {"open": r["open"], "close": r["close"], "reason": r["reason"]}
                             for r in rows("krx_special_sessions.csv")},
    },
    "us": {
        "zone": "America/New_York",
        "closures": {r["date"]: r["name"] for r in rows("nyse_holidays.csv")},
        "early_closes": {r["date"]: r["close_time"] for r in rows("nyse_early_closes.csv")},
    },
}
json.dump(out, sys.stdout, ensure_ascii=False, indent=1, sort_keys=False)
print()
