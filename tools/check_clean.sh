#!/usr/bin/env bash
# Runs a command (for instance `make demo test bench-quick`) and fails when it
# leaves something behind: a change in the checkout that git sees (a tracked
# file changed, an untracked file outside .gitignore) or any new entry in
# /tmp, except pytest's own pytest-of-$USER (pytest keeps its last three runs
# there by design). What was there before does not count, so local edits and other work
# on the machine are left out; a CI checkout starts clean, so there
# `git status --porcelain` must still be empty afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -eq 0 ]; then
  echo "usage: tools/check_clean.sh COMMAND [ARG...]" >&2
  exit 2
fi

tmp_entries() { find /tmp -mindepth 1 -maxdepth 1 ! -name "pytest-of-$(id -un)" 2>/dev/null | sort; }

tmp_before=$(tmp_entries)
git_before=$(git status --porcelain)

"$@"

tmp_after=$(tmp_entries)
git_after=$(git status --porcelain)

status=0
left_tmp=$(comm -13 <(printf '%s\n' "$tmp_before") <(printf '%s\n' "$tmp_after") | sed '/^$/d')
if [ -n "$left_tmp" ]; then
  echo "check_clean: '$*' left these behind in /tmp:" >&2
  printf '  %s\n' $left_tmp >&2
  status=1
fi
if [ "$git_after" != "$git_before" ]; then
  echo "check_clean: '$*' changed the checkout (git status --porcelain):" >&2
  diff <(printf '%s\n' "$git_before") <(printf '%s\n' "$git_after") | sed -n 's/^> /  /p' >&2
  status=1
fi
if [ $status -eq 0 ]; then
  echo "check_clean: '$*' left the checkout and /tmp as they were"
fi
exit $status
