"""``.. quorvalis-cli::``: the command line's help, rendered from its own parser, so the page
cannot fall behind the options."""

import argparse

from docutils import nodes
from sphinx.util.docutils import SphinxDirective


def _subparsers(parser):
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            yield from action.choices.items()


class QuorvalisCli(SphinxDirective):
    has_content = False

    def run(self):
        from quorvalis.cli import _parser

        parser = _parser()
        out = [nodes.literal_block(text=parser.format_help().rstrip())]
        for name, sub in _subparsers(parser):
            out.append(nodes.rubric(text=f"quorvalis {name}"))
            out.append(nodes.literal_block(text=sub.format_help().rstrip()))
        return out


def setup(app):
    app.add_directive("quorvalis-cli", QuorvalisCli)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
