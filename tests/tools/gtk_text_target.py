#!/usr/bin/python3
"""A GTK 3 window with one focused text field, for the desktop tests.

It reports on standard output, one line each:
  READY <pid>      the window is active and the field has the keyboard focus
  TEXT <text>      the field's text, after every change, when asked and at exit
  SELECTION <start> <end>   the selection or caret (code points), when asked
Texts are escaped so that each stays on one line: a backslash is written as
two backslashes, a line break as a backslash and "n".

Commands on standard input, one a line: "text" (report the text), "selection"
(report the selection), "hide" (the entry hides its text, as for a password;
reports HIDDEN), "quit" (report the text and exit).

Options:
  --view              a multi-line Gtk.TextView instead of a Gtk.Entry
  --title TITLE       the window title
  --text TEXT         the initial text
  --select START LENGTH
                      select LENGTH characters (code points) from START; a
                      LENGTH of 0 puts the caret at START; without it the
                      caret is at the end
  --churn             keep emitting accessibility events in a second window:
                      it adds and removes widgets and types into its own field
                      every few milliseconds, without taking the focus
  --output FILE       also write the last text (as it is) to FILE at exit
  --widgets N         N labels (in boxes of 100, in a scrolled pane) before
                      the field, which comes last in the window's tree
"""

import argparse
import os
import signal
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


def escape(text):
    return text.replace("\\", "\\\\").replace("\n", "\\n")



def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Target:
    def __init__(self, options):
        self.options = options
        self.window = Gtk.Window(title=options.title)
        self.window.set_default_size(400, 200 if options.view else 40)
        self.window.connect("delete-event", lambda *_: self.quit())
        if options.view:
            self.view = Gtk.TextView()
            self.buffer = self.view.get_buffer()
            self.buffer.set_text(options.text)
            self.buffer.connect("changed", lambda *_: self.report_text())
            self.field = self.view
        else:
            self.entry = Gtk.Entry()
            self.entry.set_text(options.text)
            self.entry.connect("changed", lambda *_: self.report_text())
            self.field = self.entry
        if options.widgets:
            self.window.add(self.crowded(options.widgets))
        else:
            self.window.add(self.field)
        self.ready = False
        self.churn_window = None

    # A pane of `count` labels above the field: a large tree to search
    # through, the field at its very end.
    def crowded(self, count):
        outer = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
        rows = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
        for first in range(0, count, 100):
            row = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL)
            for n in range(first, min(count, first + 100)):
                row.add(Gtk.Label(label="item %d" % n))
            rows.add(row)
        pane = Gtk.ScrolledWindow()
        pane.set_min_content_height(100)
        pane.add(rows)
        outer.pack_start(pane, True, True, 0)
        outer.pack_start(self.field, False, False, 0)
        return outer

    def text(self):
        if self.options.view:
            start, end = self.buffer.get_bounds()
            return self.buffer.get_text(start, end, True)
        return self.entry.get_text()

    def selection(self):
        if self.options.view:
            bounds = self.buffer.get_selection_bounds()
            if bounds:
                return bounds[0].get_offset(), bounds[1].get_offset()
            caret = self.buffer.get_iter_at_mark(self.buffer.get_insert()).get_offset()
            return caret, caret
        bounds = self.entry.get_selection_bounds()
        if bounds:
            return min(bounds), max(bounds)
        caret = self.entry.get_position()
        return caret, caret

    def report_text(self):
        say("TEXT " + escape(self.text()))

    def report_selection(self):
        start, end = self.selection()
        say("SELECTION %d %d" % (start, end))

    def place_selection(self):
        if self.options.select is None:
            start = end = len(self.text())
        else:
            start, length = self.options.select
            end = start + length
        if self.options.view:
            self.buffer.select_range(self.buffer.get_iter_at_offset(end),
                                     self.buffer.get_iter_at_offset(start))
        else:
            self.entry.select_region(start, end)

    def show(self):
        self.window.show_all()
        self.window.present()
        self.field.grab_focus()
        self.place_selection()
        GLib.timeout_add(10, self.check_ready)
        if self.options.churn:
            self.start_churn()

    def check_ready(self):
        if self.window.is_active() and self.field.has_focus():
            self.ready = True
            say("READY %d" % os.getpid())
            return False
        return True

    # A second window that never takes the focus, whose widgets keep coming
    # and going and whose field keeps changing: each step makes GTK publish
    # accessibility events (objects added and removed, text and state changes).
    def start_churn(self):
        self.churn_window = Gtk.Window(title="Churn")
        self.churn_window.set_accept_focus(False)
        self.churn_window.set_focus_on_map(False)
        self.churn_box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
        self.churn_entry = Gtk.Entry()
        self.churn_box.add(self.churn_entry)
        self.churn_window.add(self.churn_box)
        self.churn_window.show_all()
        self.churn_labels = []
        self.churn_step = 0
        GLib.timeout_add(5, self.churn)

    def churn(self):
        self.churn_step += 1
        self.churn_entry.set_text("typing %d" % self.churn_step)
        if len(self.churn_labels) < 5:
            label = Gtk.Label(label="item %d" % self.churn_step)
            self.churn_box.add(label)
            label.show()
            self.churn_labels.append(label)
        else:
            self.churn_labels.pop(0).destroy()
        self.churn_entry.set_sensitive(self.churn_step % 2 == 0)
        return True

    def command(self, source, condition):
        line = source.readline()
        if not line:
            return False
        word = line.strip()
        if word == "text":
            self.report_text()
        elif word == "selection":
            self.report_selection()
        elif word == "hide":
            self.entry.set_visibility(False)
            say("HIDDEN")
        elif word == "quit":
            self.quit()
        return True

    def quit(self):
        self.report_text()
        if self.options.output:
            with open(self.options.output, "w", encoding="utf-8") as out:
                out.write(self.text())
        Gtk.main_quit()
        return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--view", action="store_true")
    parser.add_argument("--title", default="GTK Target")
    parser.add_argument("--text", default="")
    parser.add_argument("--select", nargs=2, type=int)
    parser.add_argument("--churn", action="store_true")
    parser.add_argument("--output")
    parser.add_argument("--widgets", type=int, default=0)
    options = parser.parse_args()

    GLib.set_prgname("GtkTarget")
    target = Target(options)
    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, target.command)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, target.quit)
    target.show()
    Gtk.main()


if __name__ == "__main__":
    main()
