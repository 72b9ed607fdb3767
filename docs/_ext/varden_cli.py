"""The `varden-help` directive: the `varden` command's --help texts, taken from its parser.

Without an argument it renders the command's own help and then one section per subcommand;
with a subcommand's name, that subcommand's help alone.
"""

import argparse
import functools

from docutils import nodes
from sphinx.util.docutils import SphinxDirective

from varden import cli

# Help texts are wrapped at this width, whatever the terminal of the build is.
WIDTH = 88


def help_text(parser):
    parser.formatter_class = functools.partial(parser.formatter_class, width=WIDTH)
    return parser.format_help()


def subcommands(parser):
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return action.choices
    return {}


class VardenHelp(SphinxDirective):
    optional_arguments = 1

    def literal(self, parser):
        text = help_text(parser)
        return nodes.literal_block(text, text, language="text")

    def run(self):
        top = cli.parser()
        if self.arguments:
            return [self.literal(subcommands(top)[self.arguments[0]])]
        found = [self.literal(top)]
        for name, parser in subcommands(top).items():
            title = "varden " + name
            section = nodes.section(ids=[nodes.make_id(title)], names=[nodes.fully_normalize_name(title)])
            section += nodes.title(title, title)
            section += self.literal(parser)
            self.state.document.note_implicit_target(section, section)
            found.append(section)
        return found


def setup(app):
    app.add_directive("varden-help", VardenHelp)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
