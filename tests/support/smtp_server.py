#!/usr/bin/python3
"""A real SMTP server on 127.0.0.1 for the delivery tests.

Prints "PORT <n>" once listening. Every accepted message is stored as
<store>/<seq>.eml (written whole, then renamed) and one line is appended to
<store>/received.log. Connections are counted in <store>/connections.log.

<store>/control.json, read on every command, bends the server:
  {"defer": ["a@x"], "reject": ["b@x"], "drop": ["c@x"],   # by recipient
   "once": true,         # each defer/drop applies to a recipient's first try only
   "delay": 0.2,         # seconds before answering DATA
   "password": "..."}    # AUTH PLAIN/LOGIN accepts only this (any user)
"""
import asyncio
import json
import os
import sys

from aiosmtpd.smtp import SMTP, AuthResult

store = sys.argv[1]
seen = {}
seq = [0]


def control():
    try:
        with open(os.path.join(store, "control.json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def first_time(kind, address, ctl):
    key = kind + ":" + address
    if not ctl.get("once"):
        return True
    if key in seen:
        return False
    seen[key] = True
    return True


def append(name, line):
    with open(os.path.join(store, name), "a") as f:
        f.write(line + "\n")


class Handler:
    async def handle_RCPT(self, server, session, envelope, address, options):
        ctl = control()
        if address in ctl.get("reject", []):
            return "550 5.1.1 <%s>: mailbox unavailable" % address
        if address in ctl.get("defer", []) and first_time("defer", address, ctl):
            return "451 4.3.0 <%s>: try again later" % address
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 Ok"

    async def handle_DATA(self, server, session, envelope):
        ctl = control()
        delay = float(ctl.get("delay", 0))
        if delay:
            await asyncio.sleep(delay)
        for rcpt in envelope.rcpt_tos:
            if rcpt in ctl.get("drop", []) and first_time("drop", rcpt, ctl):
                server.transport.abort()
                return "421 dropped"
        seq[0] += 1
        name = "%06d-%d.eml" % (seq[0], os.getpid())
        tmp = os.path.join(store, "." + name)
        with open(tmp, "wb") as f:
            f.write(envelope.original_content)
        os.rename(tmp, os.path.join(store, name))
        append("received.log", "%s\t%s\t%s\t%d" % (name, envelope.mail_from, ",".join(envelope.rcpt_tos),
                                                    server.connection_id))
        return "250 2.0.0 Ok: queued as %s" % name


def authenticate(server, session, envelope, mechanism, auth_data):
    expected = control().get("password")
    ok = expected is not None and auth_data.password.decode() == expected
    return AuthResult(success=ok, handled=False)


async def main():
    loop = asyncio.get_running_loop()
    counter = [0]

    def factory():
        counter[0] += 1
        append("connections.log", str(counter[0]))
        smtp = SMTP(Handler(), authenticator=authenticate, auth_require_tls=False, loop=loop)
        smtp.connection_id = counter[0]
        return smtp

    server = await loop.create_server(factory, "127.0.0.1", 0)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    await asyncio.Event().wait()


asyncio.run(main())
