#!/usr/bin/env python3
"""Reads what the analytics client wrote and checks it with Python's own gzip, zlib, uuid and
datetime. Prints "ok" on success, otherwise one line per finding; exits 1 on any finding.

  crosscheck.py gzip DIR    DIR holds input-N and input-N.gz pairs
  crosscheck.py uuid7 FILE  one identifier per line, in the order they were made
  crosscheck.py dates FILE  lines "MICROSECONDS TEXT": TEXT must be the instant in UTC, milliseconds cut
  crosscheck.py ids DIR     the storage folder holds the anonymous and device ids, each an object of one
                            member named after its file, the value an upper-case version-7 UUID, and no
                            distinct id
  crosscheck.py batches DIR DIR holds batch-N.json, the batch bodies in the order they arrived: every
                            event is a record of the wire format whose properties carry the library, a
                            version-7 session id and the system name; the uuids are version 7 and
                            increase with the events' "n" property, which counts 0, 1, 2, ... once each
  crosscheck.py json DIR    every "orbit." file of the storage folder (temporaries aside) is an object or
                            an array
"""
import datetime
import json
import gzip
import os
import sys
import uuid
import zlib


def check_gzip(folder):
    findings = []
    names = sorted(n for n in os.listdir(folder) if n.startswith("input-") and not n.endswith(".gz"))
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        with open(os.path.join(folder, name + ".gz"), "rb") as f:
            member = f.read()
        if gzip.decompress(member) != data:
            findings.append(f"{name}: gzip.decompress does not give the input back")
        compressor = zlib.compressobj(-1, zlib.DEFLATED, 31, 9, zlib.Z_DEFAULT_STRATEGY)
        expected = compressor.compress(data) + compressor.flush()
        if expected != member:
            findings.append(f"{name}: differs from zlib.compressobj's {len(expected)} bytes ({len(member)} bytes)")
    if not names:
        findings.append("no inputs")
    return findings


def check_uuid7(path):
    findings = []
    previous = None
    count = 0
    with open(path) as f:
        for line in f:
            text = line.strip()
            count += 1
            value = uuid.UUID(text)
            if value.variant != uuid.RFC_4122:
                findings.append(f"{text}: variant {value.variant}")
            elif value.version != 7:
                findings.append(f"{text}: version {value.version}")
            if text != str(value).upper():
                findings.append(f"{text}: not the canonical upper-case form")
            if previous is not None and value.int <= previous:
                findings.append(f"{text}: not above the identifier before it")
            previous = value.int
            if len(findings) > 20:
                break
    return findings or ([] if count else ["no identifiers"])


def check_dates(path):
    findings = []
    epoch = datetime.datetime(1970, 1, 1)
    count = 0
    with open(path) as f:
        for line in f:
            micros, text = line.split()
            count += 1
            moment = epoch + datetime.timedelta(microseconds=int(micros))
            expected = (f"{moment.year:04d}-{moment.month:02d}-{moment.day:02d}T{moment.hour:02d}:"
                        f"{moment.minute:02d}:{moment.second:02d}.{moment.microsecond // 1000:03d}Z")
            if text != expected:
                findings.append(f"{micros}: {text}, Python says {expected}")
            if len(findings) > 20:
                break
    return findings or ([] if count else ["no dates"])


def check_ids(folder):
    findings = []
    for name in ("orbit.anonymousId", "orbit.deviceId"):
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            findings.append(f"{name}: missing")
            continue
        with open(path, encoding="utf-8") as f:
            value = json.load(f)
        if not isinstance(value, dict) or list(value) != [name] or not isinstance(value[name], str):
            findings.append(f"{name}: not one text member named after the file: {value!r}")
            continue
        text = value[name]
        parsed = uuid.UUID(text)
        if parsed.version != 7 or parsed.variant != uuid.RFC_4122 or text != str(parsed).upper():
            findings.append(f"{name}: {text} is not an upper-case version-7 UUID")
    if os.path.exists(os.path.join(folder, "orbit.distinctId")):
        findings.append("orbit.distinctId exists")
    return findings


def is_uuid7(text):
    try:
        value = uuid.UUID(text)
    except (ValueError, TypeError, AttributeError):
        return False
    return value.version == 7 and value.variant == uuid.RFC_4122 and text == str(value).upper()


def check_batches(folder):
    findings = []
    events = []
    names = sorted((n for n in os.listdir(folder) if n.startswith("batch-")), key=lambda n: int(n[6:-5]))
    for name in names:
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            body = json.load(f)
        if set(body) != {"api_key", "batch", "sent_at"}:
            findings.append(f"{name}: keys {sorted(body)}")
        events.extend(body.get("batch", []))
    for event in events:
        if set(event) - {"api_key"} != {"event", "distinct_id", "properties", "timestamp", "uuid"}:
            findings.append(f"event keys {sorted(event)}")
            continue
        properties = event["properties"]
        if not isinstance(properties.get("$lib"), str) or not isinstance(properties.get("$lib_version"), str):
            findings.append(f"{event['uuid']}: no library name or version")
        if not is_uuid7(properties.get("$session_id")):
            findings.append(f"{event['uuid']}: session id {properties.get('$session_id')!r}")
        if properties.get("$os_name") != "Linux":
            findings.append(f"{event['uuid']}: system {properties.get('$os_name')!r}")
        if not is_uuid7(event["uuid"]):
            findings.append(f"{event['uuid']}: not an upper-case version-7 UUID")
        datetime.datetime.strptime(event["timestamp"], "%Y-%m-%dT%H:%M:%S.%fZ")
    ordered = sorted(events, key=lambda e: e["properties"].get("n", -1))
    if [e["properties"].get("n") for e in ordered] != list(range(len(events))):
        findings.append("the events' counts are not 0 to n-1 once each")
    ids = [uuid.UUID(e["uuid"]).int for e in ordered if is_uuid7(e["uuid"])]
    if ids != sorted(ids) or len(set(ids)) != len(ids):
        findings.append("the uuids do not increase in capture order")
    return findings[:20] or ([] if events else ["no events"])


def check_json(folder):
    findings = []
    count = 0
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not name.startswith("orbit.") or ".tmp-" in name or not os.path.isfile(path):
            continue
        count += 1
        try:
            with open(path, encoding="utf-8") as f:
                value = json.load(f)
            if not isinstance(value, (dict, list)):
                findings.append(f"{name}: top level is {type(value).__name__}")
        except ValueError as error:
            findings.append(f"{name}: {error}")
    return findings or ([] if count else ["no files"])


def main():
    checks = {"gzip": check_gzip, "uuid7": check_uuid7, "dates": check_dates, "ids": check_ids, "json": check_json,
              "batches": check_batches}
    if len(sys.argv) != 3 or sys.argv[1] not in checks:
        print(__doc__)
        return 2
    findings = checks[sys.argv[1]](sys.argv[2])
    print("\n".join(findings) if findings else "ok")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
