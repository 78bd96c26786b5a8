#!/usr/bin/env python3
"""Checks OTLP/JSON logs export requests by the protocol's JSON encoding rules, with Python's
standard library only. Prints "ok" on success, otherwise one line per finding; exits 1 on any.

  otlp_check.py DIR   every *.json file of DIR is one request body

The rules: field names in lowerCamelCase as the protocol's JSON mapping gives them and no others;
every AnyValue holds exactly one kind of value; 64-bit integers ("intValue", the times) are decimal
text within their range; doubles are finite JSON numbers; trace ids are 32 hex digits and span ids
16; severity numbers are 1 to 24; flags fit 32 unsigned bits; the text is strict JSON.
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
ANY_VALUE_KINDS = {"stringValue", "boolValue", "intValue", "doubleValue", "arrayValue", "kvlistValue", "bytesValue"}


class Checker:
    def __init__(self, source):
        self.source = source
        self.findings = []

    def fail(self, where, message):
        self.findings.append(f"{self.source}: {where}: {message}")

    def keys(self, value, allowed, where):
        if not isinstance(value, dict):
            self.fail(where, f"is {type(value).__name__}, not an object")
            return False
        for key in value:
            if key not in allowed:
                self.fail(where, f"unknown field {key!r}")
        return True

    def array(self, value, where):
        if not isinstance(value, list):
            self.fail(where, f"is {type(value).__name__}, not an array")
            return []
        return value

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
        for i, pair in enumerate(self.array(value, where)):
            here = f"{where}[{i}]"
            if not self.keys(pair, {"key", "value"}, here):
                continue
            if not isinstance(pair.get("key"), str):
                self.fail(here, "key is not text")
            if "value" in pair:
                self.any_value(pair["value"], here + ".value")

    def hex_id(self, value, digits, where):
        if not isinstance(value, str) or len(value) != digits or not HEX.match(value):
            self.fail(where, f"{value!r} is not {digits} hex digits")

    def log_record(self, record, where):
        if not self.keys(record, RECORD_KEYS, where):
            return
        for name in ("timeUnixNano", "observedTimeUnixNano"):
            if name in record:
                self.integer_text(record[name], UINT64, f"{where}.{name}")
        number = record.get("severityNumber")
        if number is not None and (isinstance(number, bool) or not isinstance(number, int) or not 1 <= number <= 24):
            self.fail(where, f"severityNumber {number!r} is not 1 to 24")
        if "severityText" in record and not isinstance(record["severityText"], str):
            self.fail(where, "severityText is not text")
        if "body" in record:
            self.any_value(record["body"], where + ".body")
        if "attributes" in record:
            self.key_values(record["attributes"], where + ".attributes")
        if "traceId" in record:
            self.hex_id(record["traceId"], 32, where + ".traceId")
        if "spanId" in record:
            self.hex_id(record["spanId"], 16, where + ".spanId")
        flags = record.get("flags")
        if flags is not None and (isinstance(flags, bool) or not isinstance(flags, int) or not 0 <= flags < 2 ** 32):
            self.fail(where, f"flags {flags!r} is not a 32-bit unsigned number")

    def request(self, body):
        if not self.keys(body, REQUEST_KEYS, "request"):
            return
        for i, resource_logs in enumerate(self.array(body.get("resourceLogs"), "resourceLogs")):
            where = f"resourceLogs[{i}]"
            if not self.keys(resource_logs, RESOURCE_LOGS_KEYS, where):
                continue
            resource = resource_logs.get("resource", {})
            if self.keys(resource, RESOURCE_KEYS, where + ".resource"):
                self.key_values(resource.get("attributes", []), where + ".resource.attributes")
            for j, scope_logs in enumerate(self.array(resource_logs.get("scopeLogs", []), where + ".scopeLogs")):
                here = f"{where}.scopeLogs[{j}]"
                if not self.keys(scope_logs, SCOPE_LOGS_KEYS, here):
                    continue
                scope = scope_logs.get("scope", {})
                if self.keys(scope, SCOPE_KEYS, here + ".scope"):
                    for name in ("name", "version"):
                        if name in scope and not isinstance(scope[name], str):
                            self.fail(here + ".scope", f"{name} is not text")
                for k, record in enumerate(self.array(scope_logs.get("logRecords", []), here + ".logRecords")):
                    self.log_record(record, f"{here}.logRecords[{k}]")


def refuse_constant(name):
    raise ValueError(f"{name} is not JSON")


def check_folder(folder):
    findings = []
    names = sorted(n for n in os.listdir(folder) if n.endswith(".json"))
    for name in names:
        checker = Checker(name)
        try:
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                body = json.load(f, parse_constant=refuse_constant)
            checker.request(body)
        except ValueError as error:
            checker.fail("text", str(error))
        findings.extend(checker.findings)
    return findings or ([] if names else ["no payloads"])


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    findings = check_folder(sys.argv[1])
    print("\n".join(findings[:50]) if findings else "ok")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
