#!/usr/bin/env python3
"""Reads each message file named on the command line the way a mail program
would and prints one JSON object per file: its defects, recipients, decoded
display names and subject, the instant of its Date header, the decoded body
and the longest line."""
import email
import email.policy
import json
import sys


def describe(path):
    raw = open(path, "rb").read()
    message = email.message_from_bytes(raw, policy=email.policy.default)
    defects = [type(d).__name__ for d in message.defects]
    recipients = []
    for field in ("To", "Cc", "Bcc"):
        for header in message.get_all(field, []):
            defects += [type(d).__name__ for d in header.defects]
            for group in header.groups:
                if group.display_name is not None:
                    defects.append("GroupSyntax")
                for a in group.addresses:
                    recipients.append({"name": a.display_name, "address": a.addr_spec})
    senders = [{"name": a.display_name, "address": a.addr_spec} for a in message["From"].addresses]
    body_part = message.get_body(("plain",))
    body = body_part.get_content().replace("\r\n", "\n") if body_part is not None else None
    if body_part is not None:
        defects += [type(d).__name__ for d in body_part.defects]
    date = message["Date"]
    return {
        "defects": defects,
        "to": recipients,
        "from": senders,
        "subject": str(message["Subject"]),
        "date": date.datetime.timestamp() if date is not None and date.datetime is not None else None,
        "body": body,
        "longestLine": max(len(line) for line in raw.split(b"\r\n")),
        "bareLineFeeds": raw.replace(b"\r\n", b"").count(b"\n"),
    }


print(json.dumps([describe(p) for p in sys.argv[1:]]))
