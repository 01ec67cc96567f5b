#!/usr/bin/env bash
# The workflows under .github/workflows/ as GitHub reads them, checked with
# GitHub's own parser (the pinned @actions/workflow-parser of
# tests/workflows/package-lock.json, installed by npm ci into BUILD), and
# every call of a project script in them against that script's --help
# (tests/workflows/check_workflows.mjs says how). Then broken copies prove
# that the check fails: a key GitHub does not know, a preset scripts/ci
# does not build, a script that does not exist and an action not pinned.
#
#     tests/check_workflows.sh SOURCE BUILD
set -euo pipefail
source=$(realpath "$1")
build=$(realpath -m "$2")/workflow-check
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$source/tests/helpers.sh"

mkdir -p "$build"
cp "$source/tests/workflows/package.json" "$source/tests/workflows/package-lock.json" "$build/"
(cd "$build" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
check() {
  node --import "$source/tests/workflows/register-json-hook.mjs" \
    "$source/tests/workflows/check_workflows.mjs" "$build/node_modules" "$source" "$1"
}
check "$source/.github/workflows"

# Each broken copy must fail, with the finding that names what was broken.
expect_finding() {
  local name=$1 expected=$2 status=0
  check "$work/$name" > "$work/$name.out" || status=$?
  [ "$status" = 1 ] || fail "the check of $name exited with $status: $(cat "$work/$name.out")"
  grep -qF -- "$expected" "$work/$name.out" || fail "the check of $name said: $(cat "$work/$name.out")"
  echo "broken copy $name: found ($expected)"
}
broken_copy() {
  mkdir "$work/$1"
  sed "$2" "$source/.github/workflows/ci.yml" > "$work/$1/ci.yml"
  cmp -s "$work/$1/ci.yml" "$source/.github/workflows/ci.yml" && fail "$1: the sed changed nothing"
  return 0
}
broken_copy unknown-key '0,/runs-on:/s//runs_on:/'
expect_finding unknown-key "Unexpected value 'runs_on'"
broken_copy unknown-part 's|scripts/ci suite linux$|scripts/ci suite no-such-preset|'
expect_finding unknown-part "scripts/ci suite no-such-preset is none of"
broken_copy missing-script 's|scripts/ci deps apt$|scripts/no-such-script apt|'
expect_finding missing-script "scripts/no-such-script is missing or not executable"
broken_copy unpinned 's|actions/checkout@[0-9a-f]*|actions/checkout@v4|'
expect_finding unpinned "actions/checkout@v4 is not pinned to a commit"
echo "workflows: parsed by GitHub's parser with every script call accepted; four broken copies caught"
