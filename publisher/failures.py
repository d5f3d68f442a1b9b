"""How the publisher's tool fails and warns: one line the user can act on."""

from __future__ import annotations

import sys


class PublishError(Exception):
    """A failure the user can act on; its text says what to do."""


def warn(text):
    print(f"warning: {text}", file=sys.stderr)


def one_line(error):
    return " ".join(str(error).split()) or type(error).__name__
