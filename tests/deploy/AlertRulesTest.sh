#!/usr/bin/env bash
# The alert rules pass `promtool check rules`, and their unit tests (each alert
# pending, firing, then cleared) pass `promtool test rules`.
# Usage: AlertRulesTest.sh DEPLOY_DIR
set -euo pipefail
deploy=$1
promtool check rules "$deploy/prometheus/zephyrscope-rules.yml"
cd "$deploy/prometheus/tests"
promtool test rules zephyrscope-rules-test.yml
