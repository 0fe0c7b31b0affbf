"""The files below a folder, as the end-to-end suites compare extracted trees."""
import os


def files_below(root):
    """{path relative to root, with '/' between folders: the file's bytes}."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as data:
                found[os.path.relpath(path, root).replace(os.sep, "/")] = data.read()
    return found
