#!/usr/bin/env python3
"""Checks OTLP/JSON logs export requests of the analytics client by the protocol's JSON encoding
rules and by the shape the client gives them, with Python's standard library only. Prints "ok" on
success, otherwise one line per finding; exits 1 on any.

  otlp_check.py NAME VERSION DIR   every *.json file of DIR is one request body of the client
                                   whose scope name is NAME and whose version is VERSION

The encoding: field names in lowerCamelCase as the protocol's JSON mapping gives them and no
others; every AnyValue holds exactly one kind of value; 64-bit integers ("intValue", the times)
are decimal text within their range; doubles are finite JSON numbers; trace ids are 32 hex digits
and span ids 16; flags fit 32 unsigned bits; the text is strict JSON with no key twice in an
object.
The shape: exactly one resource, whose attributes name the service, the client (its version being
VERSION) and the system; exactly one scope, named NAME at VERSION; at least one log record, each
with both times, a severity number and the text of the same severity, and a text body; every
key-value list has a value for each key, and its keys in strictly ascending order (so each once).
"""
import json
import os
import re
import sys

INT64 = (-(2 ** 63), 2 ** 63 - 1)
UINT64 = (0, 2 ** 64 - 1)
DECIMAL = re.compile(r"-?[0-9]+\Z")
HEX = re.compile(r"[0-9a-fA-F]+\Z")

REQUEST_KEYS = {"resourceLogs"}
RESOURCE_LOGS_KEYS = {"resource", "scopeLogs", "schemaUrl"}
RESOURCE_KEYS = {"attributes", "droppedAttributesCount"}
SCOPE_LOGS_KEYS = {"scope", "logRecords", "schemaUrl"}
SCOPE_KEYS = {"name", "version", "attributes", "droppedAttributesCount"}
RECORD_KEYS = {"timeUnixNano", "observedTimeUnixNano", "severityNumber", "severityText", "body", "attributes",
               "droppedAttributesCount", "flags", "traceId", "spanId", "eventName"}
RECORD_REQUIRED = ("timeUnixNano", "observedTimeUnixNano", "severityNumber", "severityText", "body")
ANY_VALUE_KINDS = {"stringValue", "boolValue", "intValue", "doubleValue", "arrayValue", "kvlistValue", "bytesValue"}
# The client's severities: the text it sends with each number.
SEVERITIES = {1: "trace", 5: "debug", 9: "info", 13: "warn", 17: "error", 21: "fatal"}
# Resource attributes every request carries, as text.
RESOURCE_REQUIRED = ("service.name", "telemetry.sdk.name", "telemetry.sdk.version", "os.name", "os.version")


class Checker:
    def __init__(self, source, name, version):
        self.source = source
        self.name = name
        self.version = version
        self.findings = []

    def fail(self, where, message):
        self.findings.append(f"{self.source}: {where}: {message}")

    def keys(self, value, allowed, where, required=()):
        if not isinstance(value, dict):
            self.fail(where, f"is {type(value).__name__}, not an object")
            return False
        for key in value:
            if key not in allowed:
                self.fail(where, f"unknown field {key!r}")
        for key in required:
            if key not in value:
                self.fail(where, f"lacks {key!r}")
        return True

    def array(self, value, where):
        if not isinstance(value, list):
            self.fail(where, f"is {type(value).__name__}, not an array")
            return []
        return value

    def one(self, value, where):
        items = self.array(value, where)
        if len(items) != 1:
            self.fail(where, f"holds {len(items)} elements, not one")
        return items[:1]

    def integer_text(self, value, bounds, where):
        if not isinstance(value, str) or not DECIMAL.match(value):
            self.fail(where, f"{value!r} is not decimal text")
        elif not bounds[0] <= int(value) <= bounds[1]:
            self.fail(where, f"{value} is out of range")

    def any_value(self, value, where):
        if not self.keys(value, ANY_VALUE_KINDS, where):
            return
        if len(value) != 1:
            self.fail(where, f"holds {len(value)} kinds of value: {sorted(value)}")
            return
        kind, inner = next(iter(value.items()))
        if kind == "stringValue" and not isinstance(inner, str):
            self.fail(where, "stringValue is not text")
        elif kind == "boolValue" and not isinstance(inner, bool):
            self.fail(where, "boolValue is not a boolean")
        elif kind == "intValue":
            self.integer_text(inner, INT64, where + ".intValue")
        elif kind == "doubleValue" and (isinstance(inner, bool) or not isinstance(inner, (int, float))):
            self.fail(where, "doubleValue is not a number")
        elif kind == "arrayValue" and self.keys(inner, {"values"}, where + ".arrayValue"):
            for i, element in enumerate(self.array(inner.get("values", []), where + ".arrayValue.values")):
                self.any_value(element, f"{where}.arrayValue.values[{i}]")
        elif kind == "kvlistValue" and self.keys(inner, {"values"}, where + ".kvlistValue"):
            self.key_values(inner.get("values", []), where + ".kvlistValue.values")
        elif kind == "bytesValue" and not isinstance(inner, str):
            self.fail(where, "bytesValue is not base64 text")

    def key_values(self, value, where):
        """The list's values by key, for the pairs that have text keys."""
        found = {}
        previous = None
        for i, pair in enumerate(self.array(value, where)):
            here = f"{where}[{i}]"
            if not self.keys(pair, {"key", "value"}, here, ("key", "value")):
                continue
            key = pair.get("key")
            if not isinstance(key, str):
                self.fail(here, "key is not text")
                continue
            if previous is not None and key == previous:
                self.fail(here, f"key {key!r} is there twice")
            elif previous is not None and key < previous:
                self.fail(here, f"key {key!r} comes after {previous!r}")
            previous = key
            if "value" in pair:
                self.any_value(pair["value"], here + ".value")
                found[key] = pair["value"]
        return found

    def hex_id(self, value, digits, where):
        if not isinstance(value, str) or len(value) != digits or not HEX.match(value):
            self.fail(where, f"{value!r} is not {digits} hex digits")

    def log_record(self, record, where):
        if not self.keys(record, RECORD_KEYS, where, RECORD_REQUIRED):
            return
        for name in ("timeUnixNano", "observedTimeUnixNano"):
            if name in record:
                self.integer_text(record[name], UINT64, f"{where}.{name}")
        number = record.get("severityNumber")
        if "severityNumber" in record and (isinstance(number, bool) or number not in SEVERITIES):
            self.fail(where, f"severityNumber {number!r} is none of the client's {sorted(SEVERITIES)}")
        elif "severityText" in record and record["severityText"] != SEVERITIES.get(number):
            self.fail(where, f"severityText {record['severityText']!r} is not that of severityNumber {number!r}")
        if "body" in record:
            body = record["body"]
            if not isinstance(body, dict) or list(body) != ["stringValue"]:
                self.fail(where + ".body", f"{body!r} is not a stringValue")
            self.any_value(body, where + ".body")
        if "attributes" in record:
            self.key_values(record["attributes"], where + ".attributes")
        if "traceId" in record:
            self.hex_id(record["traceId"], 32, where + ".traceId")
        if "spanId" in record:
            self.hex_id(record["spanId"], 16, where + ".spanId")
        flags = record.get("flags")
        if flags is not None and (isinstance(flags, bool) or not isinstance(flags, int) or not 0 <= flags < 2 ** 32):
            self.fail(where, f"flags {flags!r} is not a 32-bit unsigned number")

    def resource(self, resource, where):
        if not self.keys(resource, RESOURCE_KEYS, where, ("attributes",)):
            return
        attributes = self.key_values(resource.get("attributes", []), where + ".attributes")
        text = {key: value.get("stringValue") for key, value in attributes.items() if isinstance(value, dict)}
        for name in RESOURCE_REQUIRED:
            if not isinstance(text.get(name), str):
                self.fail(where + ".attributes", f"{name!r} is not there as text")
        if text.get("telemetry.sdk.version", self.version) != self.version:
            self.fail(where + ".attributes", f"'telemetry.sdk.version' is not {self.version!r}")
        if "service.version" in attributes and not text.get("service.version"):
            self.fail(where + ".attributes", "'service.version' is there without a text")

    def scope(self, scope, where):
        if not self.keys(scope, SCOPE_KEYS, where, ("name", "version")):
            return
        if scope.get("name", self.name) != self.name:
            self.fail(where, f"name {scope['name']!r} is not {self.name!r}")
        if scope.get("version", self.version) != self.version:
            self.fail(where, f"version {scope['version']!r} is not {self.version!r}")

    def request(self, body):
        if not self.keys(body, REQUEST_KEYS, "request", REQUEST_KEYS):
            return
        for resource_logs in self.one(body.get("resourceLogs"), "resourceLogs"):
            where = "resourceLogs[0]"
            if not self.keys(resource_logs, RESOURCE_LOGS_KEYS, where, ("resource", "scopeLogs")):
                continue
            if "resource" in resource_logs:
                self.resource(resource_logs["resource"], where + ".resource")
            for scope_logs in self.one(resource_logs.get("scopeLogs"), where + ".scopeLogs"):
                here = where + ".scopeLogs[0]"
                if not self.keys(scope_logs, SCOPE_LOGS_KEYS, here, ("scope", "logRecords")):
                    continue
                if "scope" in scope_logs:
                    self.scope(scope_logs["scope"], here + ".scope")
                records = self.array(scope_logs.get("logRecords", []), here + ".logRecords")
                if not records:
                    self.fail(here + ".logRecords", "is empty")
                for k, record in enumerate(records):
                    self.log_record(record, f"{here}.logRecords[{k}]")


def refuse_constant(name):
    raise ValueError(f"{name} is not JSON")


def refuse_repeated_keys(pairs):
    seen = set()
    for key, _ in pairs:
        if key in seen:
            raise ValueError(f"the key {key!r} is in one object twice")
        seen.add(key)
    return dict(pairs)


def check_folder(folder, name, version):
    findings = []
    names = sorted(n for n in os.listdir(folder) if n.endswith(".json"))
    for file_name in names:
        checker = Checker(file_name, name, version)
        try:
            with open(os.path.join(folder, file_name), encoding="utf-8") as f:
                body = json.load(f, parse_constant=refuse_constant, object_pairs_hook=refuse_repeated_keys)
            checker.request(body)
        except ValueError as error:
            checker.fail("text", str(error))
        findings.extend(checker.findings)
    return findings or ([] if names else ["no payloads"])


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    findings = check_folder(sys.argv[3], sys.argv[1], sys.argv[2])
    print("\n".join(findings[:50]) if findings else "ok")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
