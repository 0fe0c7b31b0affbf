"""Extracted trees read back and compared, the same way in every suite.

A tree is {path relative to its root, '/' between folders: what is there}:
the bytes of a file (a File with its time and permission bits when asked
for), FOLDER, or Link(target). Paths are bytes when the root is."""
import collections
import os
import stat

FOLDER = "folder"
Link = collections.namedtuple("Link", "target")
File = collections.namedtuple("File", "data mtime mode")  # mtime or mode None: not compared


def walk_below(root, skip=()):
    """(relative path, full path, lstat) of everything below root but the
    top-level names in skip and what lies below them; links are not followed."""
    for folder, folders, files in os.walk(root):
        if folder == root:
            folders[:] = [name for name in folders if name not in skip]
        for name in folders + files:
            path = os.path.join(folder, name)
            if folder != root or name not in skip:
                yield os.path.relpath(path, root), path, os.lstat(path)


def read_entry(path, info, metadata):
    if stat.S_ISLNK(info.st_mode):
        return Link(os.readlink(path))
    if stat.S_ISDIR(info.st_mode):
        return FOLDER
    with open(path, "rb") as data:
        content = data.read()
    return File(content, info.st_mtime, stat.S_IMODE(info.st_mode)) if metadata else content


def read_tree(root, folders=False, metadata=False, skip=()):
    """The tree below root; folders only when asked for (an empty one is
    otherwise unseen), skip as walk_below takes it."""
    return {name: read_entry(path, info, metadata) for name, path, info in walk_below(root, skip)
            if folders or not stat.S_ISDIR(info.st_mode)}


def files_below(root):
    """{relative path: bytes} of the files below root (links as Link)."""
    return read_tree(root)


def names_below(root, folders=False, skip=()):
    """The sorted relative paths below root, without reading any file; a
    link to a folder counts as a folder (one a case made itself, say)."""
    return sorted(name for name, path, _ in walk_below(root, skip) if folders or not os.path.isdir(path))


def kind_of(value):
    if value == FOLDER or isinstance(value, Link):
        return "folder" if value == FOLDER else "link"
    return "file"


def file_difference(name, have, want, time_slack):
    """What differs between a file found and the one expected: want is bytes,
    a File, or a test that takes the bytes."""
    data = have.data if isinstance(have, File) else have
    if callable(want):
        return [] if want(data) else ["%s: wrong content (%d bytes)" % (name, len(data))]
    want_data = want.data if isinstance(want, File) else want
    if data != want_data:
        return ["%s: different bytes (%d, expected %d)" % (name, len(data), len(want_data))]
    if not isinstance(want, File):
        return []
    found = []
    # Without slack, times agree to the second.
    if want.mtime is not None and (abs(have.mtime - want.mtime) > time_slack if time_slack
                                   else int(have.mtime) != int(want.mtime)):
        found.append("%s: modified %.0f, expected %.0f" % (name, have.mtime, want.mtime))
    if want.mode is not None and have.mode != want.mode:
        found.append("%s: mode %o, expected %o" % (name, have.mode, want.mode))
    return found


def tree_differences(got, expected, time_slack=0):
    """Readable differences between a tree read and the one expected, whose
    values may also be None (must be absent) or a test of a file's bytes."""
    found = ["missing %s" % name for name, want in expected.items() if want is not None and name not in got]
    found += ["unexpected %s" % name for name in got if expected.get(name) is None]
    for name, want in expected.items():
        have = got.get(name)
        if want is None or have is None:
            continue
        if kind_of(want) != kind_of(have):
            found.append("%s: a %s instead of a %s" % (name, kind_of(have), kind_of(want)))
        elif isinstance(want, Link) and want != have:
            found.append("%s: a link to %r instead of %r" % (name, have.target, want.target))
        elif kind_of(want) == "file":
            found += file_difference(name, have, want, time_slack)
    return found


def without_metadata(tree, times=False, modes=False):
    """tree with its files' times and modes kept only as asked."""
    return {name: File(value.data, value.mtime if times else None, value.mode if modes else None)
            if isinstance(value, File) else value for name, value in tree.items()}
