#!/usr/bin/env python3
"""Checks the fleet dashboard against the exporter and PromQL.

Every query of the Grafana dashboard, with Grafana's variables filled in,
must parse (promtool check rules on a rule file made of them), and every
corvane_ metric it reads must be one that corvane-cli writes.

usage: check_dashboard.py PROMTOOL DASHBOARD.json METRICS_SOURCE
"""
import json
import pathlib
import re
import subprocess
import sys
import tempfile

promtool, dashboard, metrics_source = sys.argv[1:4]
board = json.loads(pathlib.Path(dashboard).read_text())
exported = set(re.findall(r'"(corvane_[a-z_]+)', pathlib.Path(metrics_source).read_text()))
exported |= {name + "_total" for name in exported}

variables = {"$__rate_interval": "5m", "$__range": "1d", "$instance": ".*", "$app": ".*"}
queries = [t["expr"] for p in board["panels"] for t in p.get("targets", [])]
queries += [v["definition"] for v in board["templating"]["list"] if "definition" in v]
failures = []
rules = []
for i, query in enumerate(queries):
    for name, value in variables.items():
        query = query.replace(name, value)
    if "label_values(" in query:
        # A Grafana function around a selector.
        query = re.sub(r"label_values\((.*), *[a-z_]+\)$", r"\1", query)
    for metric in re.findall(r"\bcorvane_[a-z_]+", query):
        if metric not in exported:
            failures.append(f"query {i} reads {metric}, which corvane-cli does not write")
    rules.append({"record": f"dashboard:query{i}", "expr": query})

with tempfile.NamedTemporaryFile("w", suffix=".yml") as rule_file:
    json.dump({"groups": [{"name": "dashboard", "rules": rules}]}, rule_file)
    rule_file.flush()
    checked = subprocess.run([promtool, "check", "rules", rule_file.name],
                             capture_output=True, text=True)
    if checked.returncode != 0:
        failures.append(checked.stdout + checked.stderr)

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
