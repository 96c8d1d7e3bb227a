#!/usr/bin/env python3
"""mailparse.py FILE: one delivered message as Python's email package reads
it, printed as JSON: decoded headers, the MIME layout, the first text and
HTML bodies, each attachment's name, type, size and SHA-256, the defects."""
import email
import email.policy
import hashlib
import json
import sys

with open(sys.argv[1], "rb") as f:
    msg = email.message_from_binary_file(f, policy=email.policy.default)
out = {"headers": {k.lower(): str(v) for k, v in msg.items()}, "layout": [], "text": None, "html": None,
       "attachments": [], "defects": []}
for part in msg.walk():
    kind = part.get_content_type()
    out["layout"].append(kind)
    out["defects"] += [repr(d) for d in part.defects]
    if part.is_multipart():
        continue
    if part.get_content_disposition() == "attachment":
        data = part.get_payload(decode=True)
        out["attachments"].append({"name": part.get_filename(), "type": kind, "size": len(data),
                                   "sha256": hashlib.sha256(data).hexdigest()})
    elif kind in ("text/plain", "text/html"):
        key = "text" if kind == "text/plain" else "html"
        out[key] = part.get_content() if out[key] is None else out[key]
json.dump(out, sys.stdout, ensure_ascii=False)
