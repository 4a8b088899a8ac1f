#!/bin/sh
# Prints the help texts of nexir-updater and of each of its commands as one text laid
# out the way help2man reads it, so that the manual page is made of the program's own
# words: the usage lines of the commands join the synopsis, the command list becomes
# the COMMANDS section, and the options of each command a subsection of it.
# Usage: help-texts.sh PROGRAM   (help2man appends --help, which is ignored)
set -eu
program=$1
top=$("$program" --help)
commands=$(printf '%s\n' "$top" | sed -n '/^Subcommands:/,/^$/s/^  \([a-z_]*\) .*/\1/p')

printf '%s\n' "$top" | while IFS= read -r line; do
    case $line in
        Usage:*)
            printf '%s\n' "$line"
            for command in $commands; do
                "$program" "$command" --help | sed -n 's/^Usage: /   or: /p'
            done ;;
        Subcommands:) printf '*Commands*\n' ;;
        *) printf '%s\n' "$line" ;;
    esac
done
for command in $commands; do
    printf '\nOptions of %s:\n' "$command"
    "$program" "$command" --help | sed -n '/^Options:$/,$p' | sed 1d
done
