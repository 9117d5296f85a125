#!/bin/sh
# Runs a command in a home of its own (a fresh temporary folder, with the
# XDG base folders inside it), removed afterwards: what the command keeps
# (settings, log, captures) never lands in the home of whoever runs it.
#   in_own_home.sh command [args...]
home=$(mktemp -d "${TMPDIR:-/tmp}/vistrope-home-XXXXXX") || exit 1
HOME=$home XDG_CONFIG_HOME=$home/.config XDG_STATE_HOME=$home/.local/state \
  XDG_DATA_HOME=$home/.local/share XDG_CACHE_HOME=$home/.cache "$@"
status=$?
rm -rf "$home"
exit $status
