#!/usr/bin/env python3
"""Parses one delivered message with Python's email package and prints what
a reader sees as JSON: decoded headers, the MIME layout, the text and HTML
bodies, every attachment's name, size and SHA-256, and the parser's defects.

    mailparse.py FILE
"""
import email
import email.policy
import hashlib
import json
import sys


def main():
    with open(sys.argv[1], "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.default)
    out = {
        "headers": {k.lower(): str(v) for k, v in msg.items()},
        "layout": [],
        "text": None,
        "html": None,
        "attachments": [],
        "defects": [repr(d) for d in msg.defects],
    }
    for part in msg.walk():
        out["layout"].append(part.get_content_type())
        out["defects"] += [repr(d) for d in part.defects]
        if part.is_multipart():
            continue
        if part.get_content_disposition() == "attachment":
            data = part.get_payload(decode=True)
            out["attachments"].append({
                "name": part.get_filename(),
                "type": part.get_content_type(),
                "size": len(data),
                "sha256": hashlib.sha256(data).hexdigest(),
            })
        elif part.get_content_type() == "text/plain" and out["text"] is None:
            out["text"] = part.get_content()
        elif part.get_content_type() == "text/html" and out["html"] is None:
            out["html"] = part.get_content()
    json.dump(out, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main()
