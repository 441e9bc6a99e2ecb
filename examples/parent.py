#!/usr/bin/env python3
"""An example parent program for the tolvane helper, using only Python's standard library.

It starts the helper, checks that songs can be played, plays a queue of three short songs of the
simulated catalog, pauses, resumes, seeks, skips forwards and back, follows the "state" lines
until the queue has ended, and closes the helper's input so that it exits.

Every step checks what the helper said and the script exits with status 1 at the first
surprise, so `make test` runs it to keep it true.

    python3 examples/parent.py [--helper build/tolvane] [--quiet]
"""

import argparse
import itertools
import json
import queue
import subprocess
import sys
import threading
import time

# Generous, so that the script holds on a slow or loaded machine: only a wrong answer fails it.
TIMEOUT = 15.0

SHORT_BELL = "1000000012"  # 4.0 s
TINY_CLICK = "1000000011"  # 2.5 s
SHORT_CHIME = "1000000013"  # 6.0 s


class Surprise(Exception):
    pass


class Helper:
    """One helper process: commands go in with unique ids, messages come out on a thread."""

    def __init__(self, path, log):
        self.log = log
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        self.ids = itertools.count(1)
        self.messages = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.answers = {}  # answers that arrived while we waited for something else, by id
        self.states = []  # state lines not yet looked at, oldest first

    def _read(self):
        for line in self.process.stdout:
            self.messages.put(json.loads(line))
        self.messages.put(None)  # the helper closed its output

    def _next_message(self, deadline):
        try:
            message = self.messages.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            raise Surprise("nothing from the helper in time")
        if message is None:
            raise Surprise("the helper closed its output")
        if message["type"] == "answer":
            self.answers[message.get("id")] = message
        elif message["type"] == "state":
            self.log(f"  state: {message['status']}, index {message.get('index')}, "
                     f"{message['positionMs']} ms, {message.get('song', {}).get('title')}")
            self.states.append(message)
        return message

    def command(self, kind, **arguments):
        """Sends a command and returns its answer, matched by id (answers may come out of order)."""
        command_id = next(self.ids)
        self.log(f"> {kind} {arguments if arguments else ''}")
        line = json.dumps({"type": kind, "id": command_id, **arguments}) + "\n"
        self.process.stdin.write(line.encode())
        deadline = time.monotonic() + TIMEOUT
        while command_id not in self.answers:
            self._next_message(deadline)
        return self.answers.pop(command_id)

    def ok(self, kind, **arguments):
        answer = self.command(kind, **arguments)
        if "error" in answer:
            raise Surprise(f"{kind} failed: {answer['error']}")
        return answer

    def state(self, wanted, what):
        """The first state line, from the ones not yet looked at on, for which `wanted` holds."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            while self.states:
                state = self.states.pop(0)
                if wanted(state):
                    return state
            if time.monotonic() > deadline:
                raise Surprise(f"no state line with {what}")
            self._next_message(deadline)

    def forget_states(self):
        self.states.clear()

    def close(self):
        self.process.stdin.close()
        status = self.process.wait(timeout=TIMEOUT)
        if status != 0:
            raise Surprise(f"the helper exited with status {status}")


def song_of(state):
    return state.get("song", {}).get("id")


def expect(condition, what):
    if not condition:
        raise Surprise(what)


def session(helper):
    readiness = helper.ok("check")
    expect(readiness["canPlay"] is True, f"cannot play: {readiness}")
    expect(readiness["authorization"] == "authorized", f"not authorized: {readiness}")

    ids = [SHORT_BELL, TINY_CLICK, SHORT_CHIME]
    helper.ok("play", ids=ids, token="demo")
    first = helper.state(lambda s: s["status"] == "playing", "the queue playing")
    expect(song_of(first) == SHORT_BELL and first["index"] == 0, f"wrong first song: {first}")
    expect(first["token"] == "demo", "the token is not echoed")

    helper.forget_states()
    helper.ok("pause")
    paused = helper.state(lambda s: s["status"] == "paused", "the queue paused")
    helper.ok("resume")
    resumed = helper.state(lambda s: s["status"] == "playing", "the queue playing again")
    expect(resumed["positionMs"] >= paused["positionMs"], "resume went backwards")

    # Near the end of the first song: the next one starts by itself.
    helper.ok("seek", ms=3500)
    second = helper.state(lambda s: song_of(s) == TINY_CLICK, "the second song")
    expect(second["index"] == 1, f"wrong index: {second}")

    helper.ok("next")
    helper.state(lambda s: song_of(s) == SHORT_CHIME, "the third song after next")
    # Less than 3 s into the song, previous goes to the song before.
    helper.ok("previous")
    helper.state(lambda s: song_of(s) == TINY_CLICK, "the second song after previous")
    helper.ok("next")
    helper.state(lambda s: song_of(s) == SHORT_CHIME, "the third song again")

    # The last song plays out: the queue has ended, and nothing is loaded any more.
    helper.ok("seek", ms=5800)
    helper.state(lambda s: s["status"] == "ended", "the end of the queue")
    expect(helper.command("pause").get("error") == "nothingLoaded", "something is still loaded after the end")

    helper.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--helper", default="build/tolvane", help="the helper's executable")
    parser.add_argument("--quiet", action="store_true", help="print only a failure")
    options = parser.parse_args()
    log = (lambda text: None) if options.quiet else print
    helper = Helper(options.helper, log)
    try:
        session(helper)
    except Surprise as surprise:
        print(f"parent.py: {surprise}", file=sys.stderr)
        helper.process.kill()
        return 1
    log("the session went as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
