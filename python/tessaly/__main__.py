"""Command line of the tessaly tools: ``python3 -m tessaly COMMAND ...``.

Each command lives in its own module, which contributes its sub-parser through
``add_subcommand(subparsers)`` and sets ``run`` (taking the parsed arguments,
returning the exit status) as the parser's default.
"""
import argparse
import sys

from . import export_command, import_command, plot_command

COMMAND_MODULES = (import_command, plot_command, export_command)
# What the commands need beyond the standard library, with its Debian package.
NEEDED_MODULES = {"numpy": "python3-numpy", "mpmath": "python3-mpmath", "matplotlib": "python3-matplotlib"}


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m tessaly", description="Tools for the tessaly grid simulator.")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for module in COMMAND_MODULES:
        module.add_subcommand(subparsers)
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except ModuleNotFoundError as error:
        if error.name not in NEEDED_MODULES:
            raise
        print(f"tessaly {args.command}: error: this command needs the Python module {error.name}, which "
              f"{sys.executable} lacks (Debian: {NEEDED_MODULES[error.name]}, with /usr/bin/python3)",
              file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
