"""Trackers and writers show what they hold to the garbage collector: an engine that owns
both, with the writer's callback a bound method of the engine, the identity referring back
to the tracker and a replaced execute, is collected once dropped, and its database closed."""

import gc
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

ENGINE = textwrap.dedent('''
    import queue
    from plintrove.search_tracking import SearchTracker, WriterThread

    class Identity:
        def __init__(self, tracker):
            self.instance_id, self.author_id, self.tracker = "i", "a", tracker

    class Status:
        error_code = recovery_advice = None
        running = True

        def __init__(self):
            self.errors = []

    class Engine:
        def __init__(self, data_dir, start):
            self.tracker = SearchTracker(data_dir)
            self.tracker.set_identity(Identity(self.tracker))
            self.tracker._conn.execute = self.execute
            self.writer = WriterThread(self.tracker, queue.Queue(), Status(), self.stop_workers)
            if start:
                self.writer.start()

        def execute(self, sql, params=()):
            return self.tracker._conn._real_conn.execute(sql, params)

        def stop_workers(self):
            pass
''')
exec(ENGINE)


def open_files():
    return len(os.listdir("/proc/self/fd"))


def test_dropped_engines_are_collected_with_their_files(tmp_path):
    gc.collect()
    files = open_files()
    engines = []
    for i in range(50):
        (tmp_path / str(i)).mkdir()
        engine = Engine(str(tmp_path / str(i)), start=i % 3 == 0)  # noqa: F821 (from ENGINE)
        if i % 3 == 0:
            engine.writer.stop()
        engines.append(weakref.ref(engine))
    del engine
    gc.collect()
    assert [e for e in engines if e() is not None] == []
    assert open_files() <= files


def test_a_running_writer_keeps_its_engine_until_it_ends(tmp_path):
    engine = Engine(str(tmp_path), start=True)  # noqa: F821 (from ENGINE)
    ref, stop, thread = weakref.ref(engine), engine.writer._stop_event, engine.writer._thread
    del engine
    gc.collect()
    assert ref() is not None
    stop.set()
    thread.join(10)
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("left_running", [False, True])
def test_engines_left_in_cycles_at_exit(tmp_path, left_running):
    # Dropped engines leave no leak report; a writer still running at exit runs on as a
    # daemon thread does, and the interpreter still ends cleanly.
    script = ENGINE + textwrap.dedent(f'''
        import os
        for i in range(6):
            path = os.path.join({str(tmp_path)!r}, str(i))
            os.mkdir(path)
            engine = Engine(path, start=i % 2 == 0)
            if i % 2 == 0 and not (i == 0 and {left_running}):
                engine.writer.stop()
        del engine
    ''')
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
