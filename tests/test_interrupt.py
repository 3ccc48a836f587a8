"""A long call is interrupted by a signal: it raises, returns nothing, and
the module keeps working afterwards."""

import subprocess
import sys
import textwrap

# About a hundred seconds of work on two cores: without interruption the
# subprocess timeout below would be hit.
SCRIPT = textwrap.dedent(
    """
    import faulthandler, os, signal, sys, threading
    import _corvane_rs as m

    # A hang dumps every thread's stack and ends the process.
    faulthandler.dump_traceback_later(50, exit=True)

    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("stopped by signal")

    signal.signal(signal.SIGUSR1, handler)
    # A shell that starts us in the background leaves SIGINT ignored, and
    # Python then installs no handler for it: install the default one.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    a = "ab" * 10_000
    b = "ba" * 10_000
    left, right = [a] * 200, [b] * 200

    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGUSR1)).start()
    result = None
    try:
        result = m.damerau_levenshtein_batch(left, right)
    except Stop as e:
        print("raised:", e, flush=True)
    print("result:", result is None, flush=True)

    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        m.damerau_levenshtein_batch(left, right)
    except KeyboardInterrupt:
        print("keyboard interrupt", flush=True)

    # the pool serves the next calls normally
    print("after:", m.damerau_levenshtein_batch(["ab", "ca"], ["ba", "abc"]))
    """
)


def test_signal_interrupts_long_call():
    out = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "raised: stopped by signal",
        "result: True",
        "keyboard interrupt",
        "after: [0.5, 0.33333333333333337]",
    ]
