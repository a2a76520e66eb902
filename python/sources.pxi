# Byte sources: whatever a reader is given becomes a callable returning chunks.


def thing_to_iterable(thing):
    """
    Converts certain python objects into
    generators returning bytes.
    Currently accepts strings contining filenames and
    things that are already generator functions, not touching them.

    Both readers use this internally, but it can be useful to have access to 
    on its own.

    :param thing: A python object to attemt to convert
    """
    if callable(thing):
        return thing
    if type(thing) == str:
        def readFile():
            with open(thing, "rb") as f:
                data = f.read(512)
                while len(data) > 0:
                    yield data
                    data = f.read(512)
        return readFile
    return None
