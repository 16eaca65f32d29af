#!/usr/bin/env python3
"""End to end: speech-dispatcher (single mode, private directories) with the
sd_qzusbd module speaking on qzsim; spd-say and an SSIP client as the users.

usage: sd_e2e_test.py QZSIM SD_QZUSBD LIBQZUSBD
Exits 0 when every check passes, 77 when speech-dispatcher is not installed."""
import os
import shutil
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sdrun import Client, Failure, Run, wait_for  # noqa: E402

LONG = " ".join("Sentence number %d of a long text that takes a while to speak." % i for i in range(1, 40))
LONG_END = "Sentence number 39"


def check(what, ok):
    """ok is a value, or a function whose value is waited for."""
    ok = wait_for(ok, what) if callable(ok) else ok
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        raise Failure(what)


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    if shutil.which("speech-dispatcher") is None or shutil.which("spd-say") is None:
        print("speech-dispatcher is not installed: skipped")
        return 77
    start = time.monotonic()
    run = Run(*sys.argv[1:4])
    failed = True
    try:
        # No synthesizer yet: the module says so when it starts, drops the
        # message, and speaks once the device is there.
        run.start_daemon()
        wait_for(lambda: "no synthesizer is connected" in run.module_log(), "the module's start-up error")
        check("without a synthesizer, the module reports it and spd-say -w still returns",
              run.spd_say("-w", "Nobody hears this.") == 0 and run.daemon_running())
        run.start_sim()

        check("spd-say -w returns", run.spd_say("-w", "Hello from the module.") == 0)
        check("... after the synthesizer has spoken the text", "Hello from the module." in run.transcript())

        cancels = run.cancels()
        check("spd-say starts a long text", run.spd_say(LONG) == 0)
        wait_for(lambda: "Sentence number 1 " in run.transcript(), "the long text to be spoken")
        check("spd-say -S returns", run.spd_say("-S") == 0)
        check("the simulator took the urgent cancel", lambda: run.cancels() > cancels)

        client = Client(run.socket).setup()
        message = client.speak('<speak>First <mark name="alpha"/> second &amp; '
                               '<mark name="beta"/> third.</speak>')
        end = client.wait_event(message, (702, 703))
        check("an SSML message with two marks ends", end[1] == 702)
        check("... reporting both marks in order", [n for _, n in client.marks(message)] == ["alpha", "beta"])
        check("the long text was cut short", LONG_END not in run.transcript())

        pauser = Client(run.socket).setup("e2e-pause")
        message = pauser.speak("<speak>%s</speak>" % "".join(
            'Part %d of a message that is paused at its next mark. <mark name="part%d"/>' % (i, i)
            for i in range(1, 10)))
        pauser.wait_event(message, (701,))
        pauser.request("PAUSE SELF", "2")
        end = pauser.wait_event(message, (702, 703, 704))
        marks = [n for _, n in pauser.marks(message)]
        # The daemon puts marks of its own at the ends of sentences, and the
        # module pauses at whichever mark comes next: the user's marks so far
        # come in order, and the text stops a part after the last of them (a
        # text chunk already on its way may still reach the device).
        check("PAUSE ends the message at its next mark", end[1] == 704 and
              marks == ["part%d" % i for i in range(1, len(marks) + 1)] and
              "Part %d " % (len(marks) + 3) not in run.transcript())
        pauser.request("CANCEL SELF", "2")
        pauser.close()

        message = client.speak(LONG)
        client.wait_event(message, (701,))
        wait_for(lambda: "Sentence number 1 " in run.transcript(), "the long text to be spoken")
        run.kill_sim()
        end = client.wait_event(message, (702, 703))
        check("killing the simulator mid-message ends the message", end[1] == 703)
        check("... and the daemon keeps running", run.daemon_running())
        run.start_sim()
        check("after a restart of the simulator, spd-say -w returns",
              run.spd_say("-w", "Spoken after the restart.") == 0)
        check("... and the synthesizer spoke it", "Spoken after the restart." in run.transcript())
        check("the daemon is still running", run.daemon_running())
        client.close()
        failed = False
    except (Failure, OSError) as e:
        print("FAIL %s" % e)
        print("module log:\n" + run.module_log())
    finally:
        run.close(keep=failed)
    print("wall time: %.1f s" % (time.monotonic() - start))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
