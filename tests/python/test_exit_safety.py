"""Interpreters that exit at the worst moments: requests queued, streams live at
1200 Hz, right after cleanup(), inside a result or stream callback, while a
stream callback runs slow Python code or never returns, without cleanup() at
all, during a terminate; and children forked while the parent streams. Each
script runs many times in a row in a fresh interpreter; every run must end
with status 0, print nothing on stderr and finish in time.

VELTO_EXIT_REPEAT scales the number of runs of each script (default 1, 0.5 in a
sanitizer build); VELTO_EXIT_SEED repeats an order of runs and pauses.
"""
import os
import random
import sys
import textwrap
import unittest

import support
from support import SANITIZED

REPEAT = float(os.environ.get('VELTO_EXIT_REPEAT') or (0.5 if SANITIZED else 1))
RUN_TIMEOUT = 90 if SANITIZED else 30
SEED = int(os.environ.get('VELTO_EXIT_SEED') or random.SystemRandom().randint(0, 2 ** 31))

# Every script starts with this: the module, the simulator with two trackers
# streaming gaze at 1200 Hz, and helpers.
PRELUDE = textwrap.dedent('''
    import os, sys, threading, time
    import support
    import velto_internal as vi

    TRACKERS = [dict(address='velto-sim://exit-' + name, capabilities=7,
                     gaze_output_frequencies=[60.0, 1200.0], gaze_output_frequency=1200.0)
                for name in 'ab']
    DELAY = float(sys.argv[1])  # a random pause before the moment of exit

    def say(text):
        sys.stdout.write(text + '\\n')
        sys.stdout.flush()

    def start_streams(subscriber=None):
        """Subscribes every stream of both trackers (and the log)."""
        vi.startup()
        handles = support.world(TRACKERS, generate=True)
        subscriber = subscriber or (lambda record: None)
        for handle in handles:
            for stream in range(1, 7):
                assert support.call('subscribe_to', (stream, handle, subscriber)) == (0,)
        assert support.call('subscribe_to', (0, 0, subscriber))[0] in (0, 11)
        return handles

    def flood(count, threads=1):
        """Queues `count` requests from each of `threads` threads, joined."""
        def run():
            for i in range(count):
                vi.call_function('get_system_time_stamp', (), lambda r: None)
                vi.call_function('find_all_eyetrackers', (), lambda r: None)
        workers = [threading.Thread(target=run) for _ in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
''')

# Name: (runs, multiplied by REPEAT and at least 1; the script's body).
SCRIPTS = {
    # Exit with thousands of requests still queued, never cleaned up.
    'requests queued, no cleanup': (6, '''
        vi.startup()
        flood(1500, threads=3)
        time.sleep(DELAY)
        say('exiting')
        '''),
    # Streams live at 1200 Hz with requests queued, no cleanup().
    'streams live at 1200 Hz': (6, '''
        got = []
        start_streams(got.append)
        flood(300)
        time.sleep(0.1 + DELAY)
        assert got
        say('exiting')
        '''),
    # Exit right after cleanup(), with the streams still live at the library
    # and the worker still draining.
    'right after cleanup': (6, '''
        start_streams()
        flood(500)
        vi.cleanup()
        say('exiting')
        '''),
    # cleanup() then a new startup() just before exit: two workers alive.
    'cleanup and startup before exit': (4, '''
        start_streams()
        flood(300)
        vi.cleanup()
        vi.startup()
        flood(300)
        time.sleep(DELAY)
        say('exiting')
        '''),
    # An exception, sys.exit() too, raised by a result callback is dropped
    # without a word: the worker goes on and the script ends normally.
    'exceptions and sys.exit in result callbacks': (2, '''
        vi.startup()
        done = threading.Event()
        def callback(result):
            done.set()
            sys.exit(3)
        vi.call_function('get_system_time_stamp', (), lambda result: 1 / 0)
        vi.call_function('get_system_time_stamp', (), callback)
        assert done.wait(10)
        assert support.call('get_system_time_stamp')[0] == 0
        say('exiting')
        '''),
    # ... and by a stream callback.
    'exceptions and sys.exit in stream callbacks': (3, '''
        done = threading.Event()
        def subscriber(record):
            first = not done.is_set()
            done.set()
            raise ZeroDivisionError() if first else SystemExit(4)
        start_streams(subscriber)
        assert done.wait(10)
        time.sleep(DELAY)
        say('exiting')
        '''),
    # os._exit(0) inside a result callback: the process ends on the worker
    # thread at once, with streams live.
    'os._exit in a result callback': (3, '''
        start_streams()
        say('exiting')
        def callback(result):
            os._exit(0)
        vi.call_function('get_system_time_stamp', (), callback)
        time.sleep(30)
        say('not reached')
        '''),
    # os._exit(0) on a library thread, from inside a stream callback.
    'os._exit in a stream callback': (3, '''
        ready = threading.Event()
        def subscriber(record):
            if ready.is_set():
                os._exit(0)
        start_streams(subscriber)
        say('exiting')
        ready.set()
        time.sleep(30)
        say('not reached')
        '''),
    # The main thread exits while a stream callback is in the middle of slow
    # Python code: exit waits for the callback to finish before the
    # interpreter is torn down.
    'exit while a stream callback runs slow Python code': (4, '''
        inside = threading.Event()
        state = {'n': 0}
        def subscriber(record):
            if inside.is_set():
                return
            inside.set()
            end = time.time() + 0.3
            while time.time() < end:
                state['n'] += 1          # pure Python, holding and yielding the lock
            say('callback finished')
        start_streams(subscriber)
        assert inside.wait(10)
        say('exiting')
        '''),
    # Exit while a result callback runs slow Python code on the worker.
    'exit while a result callback runs slow Python code': (3, '''
        vi.startup()
        inside = threading.Event()
        def callback(result):
            inside.set()
            end = time.time() + 0.3
            while time.time() < end:
                pass
            say('callback finished')
        vi.call_function('get_system_time_stamp', (), callback)
        flood(200)
        assert inside.wait(10)
        say('exiting')
        '''),
    # Exit while the worker runs a terminate that stops the library's stream
    # threads, which are queueing for the interpreter lock.
    'during a terminate': (6, '''
        start_streams()
        flood(100)
        vi.call_function('terminate', (), lambda r: None)
        flood(100)
        time.sleep(DELAY)
        say('exiting')
        '''),
    # cleanup() and startup() called from inside callbacks just before exit.
    'cleanup and startup inside callbacks': (4, '''
        start_streams()
        def restart(result):
            vi.cleanup()
            vi.startup()
            vi.call_function('get_system_time_stamp', (), lambda r: None)
        def stop(record):
            vi.cleanup()
        vi.call_function('get_system_time_stamp', (), restart)
        vi.call_function('subscribe_to', (3, support.devices()[0]['core_eyetracker'], stop),
                         lambda r: None)
        flood(200)
        time.sleep(DELAY)
        say('exiting')
        '''),
    # A Python thread still calling call_function while the main thread exits
    # (a daemon thread: the interpreter does not wait for it).
    'exit while another thread keeps calling': (4, '''
        start_streams()
        def hammer(call=vi.call_function, sleep=time.sleep, ignore=lambda r: None):
            # Local names only: the interpreter empties module globals while it
            # shuts down, and this thread goes on calling into the module then.
            while True:
                call('get_system_time_stamp', (), ignore)
                sleep(0.0005)
        t = threading.Thread(target=hammer)
        t.daemon = True
        t.start()
        time.sleep(0.05 + DELAY)
        say('exiting')
        '''),
    # A stream callback that never returns (blocked with the interpreter lock
    # released): exit waits for it only a bounded time (about 5 s), then
    # tears the interpreter down anyway, and the library gives up on it too.
    'exit while a stream callback is blocked forever': (1, '''
        inside = threading.Event()
        def subscriber(record):
            inside.set()
            threading.Event().wait()
        start_streams(subscriber)
        assert inside.wait(10)
        say('exiting')
        '''),
    # Regression: on 3.8 a stream thread asking the main thread for the
    # interpreter lock while an atexit hook ran crashed the process.
    'exit while an atexit hook runs Python code': (3, '''
        import atexit
        start_streams()
        atexit.register(lambda: time.sleep(0.3 + DELAY))
        say('exiting')
        '''),
    # A module that was imported but never started: it refuses every request.
    'never started': (1, '''
        assert vi.call_function('get_system_time_stamp', (), lambda r: None) == 10
        say('exiting')
        '''),
}

EXPECTED_OUT = {
    'exit while a stream callback runs slow Python code': 'exiting\ncallback finished\n',
    'exit while a result callback runs slow Python code': 'callback finished\nexiting\n',
}


def run(body, delay):
    """Runs PRELUDE + body in a fresh interpreter; (status, out, err, seconds)."""
    return support.run_python(['-c', PRELUDE + textwrap.dedent(body), repr(delay)], RUN_TIMEOUT)


FORK_SCRIPT = '''
    import warnings
    # Forking while other threads run is what this script is about; Python 3.12
    # warns of it.
    warnings.simplefilter('ignore', DeprecationWarning)
    got = []
    start_streams(got.append)
    for child in range(4):
        flood(200)
        pid = os.fork()
        if pid == 0:
            # The child: only this thread exists here. Not started until it says so.
            try:
                assert vi.call_function('get_system_time_stamp', (), lambda r: None) == 10
                vi.cleanup()
                vi.startup()
                assert support.call('get_system_time_stamp', timeout=10)[0] == 0
                support.reset()
                handle = support.devices()[0]['core_eyetracker']
                mine = []
                assert support.call('subscribe_to', (1, handle, mine.append)) == (0,)
                deadline = time.time() + 10
                while not mine and time.time() < deadline:
                    time.sleep(0.01)
                assert mine
            except BaseException:
                import traceback
                traceback.print_exc()
                os._exit(1)
            # Odd children end as multiprocessing's do; even ones exit normally
            # (atexit hooks, finalization).
            if child % 2:
                os._exit(0)
            sys.exit(0)
        _, status = os.waitpid(pid, 0)
        assert status == 0, ('child', child, status)
    before = len(got)
    time.sleep(0.1)
    assert len(got) > before, 'the parent stopped streaming'
    assert support.call('get_system_time_stamp')[0] == 0
    say('exiting')
    '''


class ExitSafety(unittest.TestCase):
    # The AddressSanitizer runtime of g++ 12 has no fork handlers: a child forked
    # while another thread is inside malloc inherits the sanitizer allocator's
    # lock held and hangs at its first allocation. glibc's malloc is fork-safe.
    @unittest.skipIf(SANITIZED, 'the sanitizer allocator is not fork-safe')
    def test_children_forked_while_streaming_start_their_own_module(self):
        # Regression: a forked child kept the parent's worker-less runtimes; its requests never ran, its startup() hung.
        # (Its simulator also hung in reset and aborted at exit on the parent's threads.)
        runs = max(1, int(round(3 * REPEAT)))
        for _ in range(runs):
            code, out, err, seconds = run(FORK_SCRIPT, 0.0)
            context = 'fork (seed %d): status %r, %.1f s\nstdout:\n%s\nstderr:\n%s' % (
                SEED, code, seconds, out, err)
            self.assertLess(seconds, RUN_TIMEOUT, 'hung: ' + context)
            self.assertEqual((code, out, err), (0, 'exiting\n', ''), context)

    def test_every_script_exits_cleanly_every_time(self):
        rng = random.Random(SEED)
        runs = []
        for name in sorted(SCRIPTS):
            runs.extend([name] * max(1, int(round(SCRIPTS[name][0] * REPEAT))))
        rng.shuffle(runs)
        slowest = 0.0
        for name in runs:
            delay = rng.choice([0.0, 0.0, rng.uniform(0, 0.05)])
            code, out, err, seconds = run(SCRIPTS[name][1], delay)
            slowest = max(slowest, seconds)
            context = '%s (delay %.3f s, seed %d): status %r, %.1f s\nstdout:\n%s\nstderr:\n%s' % (
                name, delay, SEED, code, seconds, out, err)
            self.assertLess(seconds, RUN_TIMEOUT, 'hung: ' + context)
            self.assertEqual(code, 0, context)
            self.assertEqual(err, '', context)
            # Sorted: a stream callback may finish before or after 'exiting'.
            expected = EXPECTED_OUT.get(name, 'exiting\n')
            self.assertEqual(sorted(out.splitlines()), sorted(expected.splitlines()), context)
        sys.stderr.write('\nexit safety: %d runs of %d scripts, slowest %.1f s (seed %d)\n'
                         % (len(runs), len(SCRIPTS), slowest, SEED))


if __name__ == '__main__':
    unittest.main()
