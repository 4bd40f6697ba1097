"""match stays sound whatever Python code runs while it works, and a call
ends on Ctrl-C.

A number key's conversion (__int__) may change the table being converted or
call match again; a finalizer may call match while the result is built;
other threads may call match at the same time; a signal may arrive in any
part of a call (a blocked read, a long scan of one kind or another, the
conversion of a big table, the building of a big result) and must end it.  Each case runs in a child process (this file run as
a script with the case's name), so a crash fails that case alone and a hang
is cut short.
"""
from __future__ import print_function, division

import gc
import os
import random
import signal
import subprocess
import sys
import threading
import time
import unittest
import weakref

import corvamire_version_matcher as vm
import model
from model import adler, md5, open_at

PY2 = sys.version_info[0] == 2
HANG_SECONDS = 120   # a child still running then has hung
SCRIPT = os.path.splitext(os.path.abspath(__file__))[0] + ".py"


def noise(seed, n):
    rng = random.Random(seed)
    return bytes(bytearray(rng.randrange(256) for _ in range(n)))


class Key(object):
    """A number key whose conversion runs action() first.  Its hash is its
    place, which puts it there in a small dict on 2.7 as insertion order
    does on 3."""

    def __init__(self, value, place, action=None):
        self.value, self.place, self.action = value, place, action

    def __hash__(self):
        return self.place

    def __int__(self):
        if self.action is not None:
            self.action()
        return self.value


def keyed(items):
    """{Key: value} in the order of items, given as (key, value, action)."""
    return dict((Key(k, place, a), v) for place, (k, v, a) in enumerate(items))


def plain(table):
    """The same table with plain int keys: what the model is given."""
    if not isinstance(table, dict):
        return table
    return dict((k.value if isinstance(k, Key) else k, plain(v))
                for k, v in table.items())


class Blocks(object):
    """A file with known blocks of one size at chosen offsets; the values
    of the blocks are fresh objects, told apart by identity."""

    def __init__(self, seed, size=64, offsets=(100, 400, 700), n=1000):
        self.data = noise(seed, n)
        self.size = size
        self.offsets = list(offsets)
        self.values = [["block at %d" % o] for o in self.offsets]

    def block(self, i):
        o = self.offsets[i]
        return self.data[o:o + self.size]

    def item(self, i, action=None):
        """(sum, {digest: value}, action) for keyed()."""
        return (adler(self.block(i)), {md5(self.block(i)): self.values[i]},
                action)

    def table(self, actions=()):
        actions = dict(actions)
        return {self.size: keyed([self.item(i, actions.get(i))
                                  for i in range(len(self.offsets))])}

    def match(self, table, file_size=None):
        fd = open_at(self.data)
        try:
            return vm.match(table, fd, file_size or len(self.data), 256)
        finally:
            os.close(fd)

    def expected(self, table):
        fd = open_at(self.data)
        try:
            return model.match(plain(table), fd, len(self.data), 256)
        finally:
            os.close(fd)

    def check_read(self, result, read):
        """A correct result for what the conversion read: every block it
        read (indices in read) is found, and nothing else is reported but
        this file's own blocks at their offsets."""
        found = dict((o, v) for o, v in result["matches"].items())
        for i in read:
            assert found.get(self.offsets[i]) is self.values[i], (i, found)
        for o, v in found.items():
            i = self.offsets.index(o)
            assert v is self.values[i], (o, v)
        assert result["strong_matches"] == len(found)
        assert result["bytes_matched"] == self.size * len(found)


def assert_same(got, want):
    """Same counters and the very same value objects at the same offsets."""
    assert got == want, (got, want)
    for offset, value in want["matches"].items():
        assert got["matches"][offset] is value, offset


# -- Cases, each run in a child --------------------------------------------

def table_changed_during_conversion():
    # Which dict a key's conversion clears, and which blocks were read by
    # then (those before it in order, and its own).
    for victim, clearing, read in (("table", 1, (0, 1, 2)),
                                   ("size_dict", 1, (0, 1)),
                                   ("size_dict", 0, (0,))):
        blocks = Blocks(1)
        holder = {}   # only the dict to clear: what it holds goes with it
        table = blocks.table({clearing: lambda: holder[victim].clear()})
        holder[victim] = table if victim == "table" else table[blocks.size]
        blocks.check_read(blocks.match(table), read)
    # A match size key that clears the table it is the key of.
    blocks = Blocks(2)
    holder = {}
    table = keyed([(blocks.size, blocks.table()[blocks.size],
                    lambda: holder["table"].clear())])
    holder["table"] = table
    blocks.check_read(blocks.match(table), (0, 1, 2))


def value_freed_then_reported():
    blocks = Blocks(3)
    n = 100000
    digests = {md5(blocks.block(0)): b"v" * n}   # the value's only holder
    table = keyed([(adler(blocks.block(0)), digests, None),
                   blocks.item(1, digests.clear)])
    found = blocks.match({blocks.size: table})["matches"]
    assert not digests
    assert found[blocks.offsets[0]] == b"v" * n
    assert found[blocks.offsets[1]] is blocks.values[1]


def match_called_from_a_key():
    outer, inner = Blocks(4), Blocks(5, size=32, offsets=(10, 500))
    got_inner = []
    table = outer.table({1: lambda: got_inner.append(
        inner.match(inner.table()))})
    assert_same(outer.match(table), outer.expected(outer.table()))
    assert_same(got_inner[0], inner.expected(inner.table()))


def match_called_from_a_finalizer():
    # A key's conversion leaves cyclic garbage and makes the collector run
    # at the next allocation it tracks, which is the result's (the dicts
    # that would come from the interpreter's free list are taken first);
    # collecting the garbage calls match.
    outer, inner = Blocks(6), Blocks(7, size=16, offsets=(3, 33))
    got_inner, keep, in_call = [], [], [False]
    thresholds = gc.get_threshold()

    def collected(_):
        gc.set_threshold(*thresholds)
        got_inner.append((in_call[0], inner.match(inner.table())))

    class Node(object):
        pass

    def leave_garbage():
        keep.append([{} for _ in range(100)])
        node = Node()
        node.cycle = node
        keep.append(weakref.ref(node, collected))
        gc.set_threshold(1)

    table = outer.table({2: leave_garbage})
    in_call[0] = True
    try:
        got = outer.match(table)
    finally:
        in_call[0] = False
        gc.set_threshold(*thresholds)
    assert_same(got, outer.expected(outer.table()))
    assert [during for during, _ in got_inner] == [True], got_inner
    assert_same(got_inner[0][1], inner.expected(inner.table()))


def four_threads_with_slow_keys():
    # Each key's conversion sleeps, so the threads' calls interleave.
    def slow():
        time.sleep(0.001)

    cases = []
    for seed in range(4):
        blocks = Blocks(10 + seed, size=128, offsets=(50, 3000, 60000),
                        n=100000)
        table = blocks.table((i, slow) for i in range(3))
        cases.append((blocks, table, blocks.expected(table)))
    failures = []

    def calls(blocks, table, want):
        try:
            for _ in range(8):
                assert_same(blocks.match(table), want)
        except Exception as e:
            failures.append(e)

    threads = [threading.Thread(target=calls, args=case) for case in cases]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures


# The signal cases: the parent sends SIGINT once the child says "ready".

def ready():
    print("ready")
    sys.stdout.flush()


def interrupted(call):
    try:
        call()
    except KeyboardInterrupt:
        return
    raise AssertionError("the call was not interrupted")


def then_a_call_works():
    blocks = Blocks(8)
    assert_same(blocks.match(blocks.table()), blocks.expected(blocks.table()))


NO_DIGEST = b"\1" * 16   # the MD5 of no window here


def on_zeros(table, buffer_size=1 << 20):
    """A call on /dev/zero that would run for hours: it scans 1 TiB."""
    zero = os.open("/dev/zero", os.O_RDONLY)
    return lambda: vm.match(table, zero, 2 ** 40, buffer_size)


def again_and_again(call, ending=()):
    """Makes call, each ending normally or in ending, until interrupted."""
    def calls():
        while True:
            try:
                call()
            except ending:
                pass
    return calls


# Calls that run until SIGINT, each spending its time in one part of match.

def blocked_read():
    r, w = os.pipe()   # w stays open: the read never ends by itself
    table = Blocks(8).table()
    return lambda: vm.match(table, r, 1000, 256)


def long_scan():
    # None of the table's sums is met in zeros.
    blocks = Blocks(9, size=2048, offsets=(0,), n=2048)
    return on_zeros(blocks.table())


def table_conversion():
    # A table of 300,000 sums; the zero size file is refused only once the
    # table has been converted.
    rng = random.Random(11)
    sums = dict((rng.randrange(2 ** 32 - 1), {os.urandom(16): i})
                for i in range(300000))
    zero = os.open("/dev/zero", os.O_RDONLY)
    return again_and_again(lambda: vm.match({2048: sums}, zero, 0, 4096),
                           ValueError)


def result_building():
    # A million one-byte blocks of zeros: a result of a million matches.
    table = {1: {adler(b"\0"): {md5(b"\0"): "zero"}}}
    zero = os.open("/dev/zero", os.O_RDONLY)
    return again_and_again(lambda: vm.match(table, zero, 1 << 20, 1 << 20))


def many_sizes():
    # 200 sizes tried at every position; no sum of zeros has a = i + 2.
    return on_zeros(dict((64 + i, {i + 2: {NO_DIGEST: i}}) for i in range(200)))


def long_size_beside_a_short_one():
    # Each slide moves 64 KiB on, and sums 32 MiB afresh.
    long_size = 32 << 20
    table = {4096: {2: {NO_DIGEST: 0}}, long_size: {2: {NO_DIGEST: 1}}}
    return on_zeros(table, long_size + (64 << 10))


def weak_hit_everywhere():
    # Every window is a weak hit whose 16 MiB are digested.
    size = 16 << 20
    return on_zeros({size: {adler(b"\0" * size): {NO_DIGEST: 0}}}, 2 * size)


SIGNAL_CASES = (blocked_read, long_scan, table_conversion, result_building,
                many_sizes, long_size_beside_a_short_one, weak_hit_everywhere)


def signal_ends_the_call(case):
    call = case()
    ready()
    interrupted(call)
    then_a_call_works()


def other_thread_ticks_during_a_call():
    # The call can only end by the other thread's SIGINT, which that thread
    # sends once it has ticked TICKS times while the call ran.
    ticks, stop = [0], []
    TICKS = 200

    def tick():
        while not stop:
            time.sleep(0.001)
            ticks[0] += 1
            if ticks[0] == TICKS:
                os.kill(os.getpid(), signal.SIGINT)

    call = long_scan()
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        interrupted(call)
    finally:
        stop.append(True)
        ticker.join()
    assert ticks[0] >= TICKS
    then_a_call_works()


CASES = dict((f.__name__, f) for f in (
    table_changed_during_conversion, value_freed_then_reported,
    match_called_from_a_key, match_called_from_a_finalizer,
    four_threads_with_slow_keys, other_thread_ticks_during_a_call))
CASES.update((case.__name__, lambda case=case: signal_ends_the_call(case))
             for case in SIGNAL_CASES)


# -- The tests: one child per case ------------------------------------------

class ChildCase(unittest.TestCase):

    def run_child(self, case, interrupt=False):
        """Runs case in a child; with interrupt, sends it SIGINT while the
        call that follows its "ready" is under way."""
        child = subprocess.Popen([sys.executable, SCRIPT, case],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        hang = threading.Timer(HANG_SECONDS, child.kill)
        hang.start()
        try:
            if interrupt:
                line = child.stdout.readline()
                self.assertEqual(line.strip(), b"ready")
                time.sleep(0.3)   # well into the call
                child.send_signal(signal.SIGINT)
            out, err = child.communicate()
        finally:
            hang.cancel()
        self.assertEqual(child.returncode, 0,
                         "%s: exit %s\n%s" % (case, child.returncode,
                                              err.decode("utf-8", "replace")))


class ConversionTests(ChildCase):

    def test_table_changed_during_conversion(self):
        self.run_child("table_changed_during_conversion")

    def test_value_freed_then_reported(self):
        self.run_child("value_freed_then_reported")


class ReentryTests(ChildCase):

    def test_match_called_from_a_key(self):
        self.run_child("match_called_from_a_key")

    def test_match_called_from_a_finalizer(self):
        self.run_child("match_called_from_a_finalizer")

    def test_four_threads_with_slow_keys(self):
        self.run_child("four_threads_with_slow_keys")


class InterruptTests(ChildCase):

    def test_a_signal_ends_the_call(self):
        for case in SIGNAL_CASES:
            self.run_child(case.__name__, interrupt=True)

    @unittest.skipIf(PY2, "2.7 keeps the interpreter lock for the whole call")
    def test_other_thread_ticks_during_a_call(self):
        self.run_child("other_thread_ticks_during_a_call")


if __name__ == "__main__":
    # Python's own handler, whatever the parent left SIGINT at.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    CASES[sys.argv[1]]()
