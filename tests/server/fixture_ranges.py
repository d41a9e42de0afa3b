"""Byte ranges and validators for the test HTTP server (http_fixture.py):
the ETag and Last-Modified a body is served with, and which part of it a
request gets by its Range and If-Range headers.

Only single ranges of the form bytes=N- and bytes=N-M are served; anything
else in a Range header is ignored and the whole body goes out with 200, as
RFC 9110 allows.
"""
import email.utils
import re

_RANGE = re.compile(r"bytes=(\d+)-(\d*)")


def default_validators(size, mtime):
    """An nginx-like strong ETag and the Last-Modified date of a file."""
    return '"%x-%x"' % (int(mtime), size), email.utils.formatdate(mtime, usegmt=True)


def validators(spec, size, mtime=None):
    """(etag, last_modified) for a body, None where none is sent. A route's
    `etag` / `last_modified` replace the defaults (an empty text: none)."""
    etag, modified = default_validators(size, mtime) if mtime is not None else (None, None)
    if "etag" in spec:
        etag = str(spec["etag"]) or None
    if "last_modified" in spec:
        modified = str(spec["last_modified"]) or None
    return etag, modified


def _if_range_holds(if_range, etag, modified):
    if if_range.startswith('"') or if_range.startswith("W/"):
        # Strong comparison: a weak tag never matches.
        return etag is not None and not etag.startswith("W/") and if_range == etag
    return modified is not None and if_range == modified


def choose(headers, size, etag, modified, spec):
    """(status, first, length, content_range) of the answer to a GET for a
    body of `size` bytes. Route switches: `ignore_range` (always the whole
    body with 200) and `wrong_range` (a 206 that starts elsewhere than asked)."""
    whole = (200, 0, size, None)
    value = headers.get("Range")
    if not value or spec.get("ignore_range"):
        return whole
    match = _RANGE.fullmatch(value.strip())
    if match is None:
        return whole
    if_range = headers.get("If-Range")
    if if_range is not None and not _if_range_holds(if_range.strip(), etag, modified):
        return whole
    first = int(match.group(1))
    last = min(int(match.group(2)), size - 1) if match.group(2) else size - 1
    if first >= size or last < first:
        return 416, 0, 0, "bytes */%d" % size
    if spec.get("wrong_range"):
        first = 0 if first > 0 else 1
    return 206, first, last - first + 1, "bytes %d-%d/%d" % (first, last, size)
