"""The one exception type for bad user input."""


class InputError(ValueError):
    """Bad input from the user: a file, an option or an array.

    The message is one line that says what is wrong and where (the file,
    the column, the option).  The command line prints it without a
    traceback.
    """
