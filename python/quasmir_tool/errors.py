"""The one exception type for bad user input."""


class InputError(ValueError):
    """Bad input from the user: a file, an option or an array.

    The message is one line that says what is wrong and where (the file,
    the column, the option).  The command line prints it without a
    traceback.
    """


class MissingFileError(InputError, FileNotFoundError):
    """An input file that does not exist: an `InputError` for the command
    line, and a `FileNotFoundError` for callers that catch that, as they
    would around `open`."""
