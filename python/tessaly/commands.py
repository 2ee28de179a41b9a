"""What the commands of ``python3 -m tessaly`` share."""
import sys


def exit_status(command, action, expected_errors):
    """Runs ``action()`` and returns the command's exit status: 0, or 2 for
    one of ``expected_errors`` (bad input), 1 for a file that cannot be
    read or written; each error as one line "tessaly COMMAND: error: ..."."""
    try:
        action()
    except expected_errors as error:
        print(f"tessaly {command}: error: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        print(f"tessaly {command}: error: {where}{error.strerror or error}", file=sys.stderr)
        return 1
    return 0
