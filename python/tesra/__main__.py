import os
import signal
import sys

from tesra import main as _main


def main() -> None:
    # A reader that closes the pipe early (tesra big | head -1) ends the command as SIGPIPE ends
    # any filter, quietly and with status 141, instead of with a BrokenPipeError.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    try:
        status = _main()
    except KeyboardInterrupt:
        # End as Ctrl-C ends a program, without a traceback: the shell sees status 130 and, in a
        # loop or a script, stops too.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
        status = 130
    sys.exit(status)


if __name__ == "__main__":
    main()
