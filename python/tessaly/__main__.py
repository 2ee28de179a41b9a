"""Command line of the tessaly tools: ``python3 -m tessaly COMMAND ...``.

Each command lives in its own module, which contributes its sub-parser through
``add_subcommand(subparsers)`` and sets ``run`` (taking the parsed arguments,
returning the exit status) as the parser's default.
"""
import argparse
import sys

from . import export, importer, plot_command

COMMAND_MODULES = (importer, plot_command, export)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m tessaly", description="Tools for the tessaly grid simulator.")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for module in COMMAND_MODULES:
        module.add_subcommand(subparsers)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
