"""The commands vantrel-walks (vantrel_cli.walks) and vantrel-embed (vantrel_cli.embed)."""

from vantrel_cli.walks import main

__all__ = ["main"]
