__version__: str

def tesra(args: list[str], /) -> int:
    """Run tesra with argument list.

    ``args`` is a sort command line without the program name. Returns 0 after a successful
    sort and 1 after a failure or ``--help``. Raises TypeError when ``args`` is not a list of
    strings and MemoryError when the arguments cannot be copied.
    """
