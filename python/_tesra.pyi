__version__: str

def tesra(args: list[str], /) -> int:
    """Run tesra with argument list.

    ``args`` is a sort command line without the program name. Returns 0 after a successful
    sort and 1 after a failure or ``--help``. Raises TypeError when ``args`` is not a list of
    strings, ValueError when one holds a NUL character, MemoryError when the arguments cannot
    be copied, and KeyboardInterrupt when Ctrl-C stops the run. The interpreter lock is released
    while the engine runs; calls from several threads run one after the other.
    """
