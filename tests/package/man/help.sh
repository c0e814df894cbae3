#!/bin/sh
# The help text of a program with options, as the pages beside this script
# document it (agrees.1) or fail to (lacks-option.1, adds-option.1).
cat <<'HELP'
usage: example [-l N | --limit N] [--dry-run] [--help]

Options:
  -l, --limit N   stop after N items (FILE-NAME style words are no options)
      --dry-run   print what would be done
  --help          print this help and exit
HELP
