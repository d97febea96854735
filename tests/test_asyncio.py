"""aiter_parse and aread over real TCP connections on 127.0.0.1: messages in
every representation cut at every octet, cancellation, a peer's bad message,
and limits that bite as the octets arrive."""

import asyncio
import collections
import contextlib

import parvex
import pytest
from parvex import Atom, ParseError, aiter_parse, aread
from support import same

HOST = "127.0.0.1"
FORMS = {
    b"canonical": parvex.to_canonical,
    b"transport": lambda v: parvex.to_transport(v).encode(),
    b"advanced": lambda v: parvex.to_advanced(v).encode(),
    b"indented": lambda v: parvex.to_indented(v, width=24).encode(),
}
PAYLOADS = [
    [b"get", b"/index.html", [b"accept", b"text/plain"]],
    [Atom(b"\x00\x01\xfe\xff", b"application/octet-stream"), b"", [], Atom(b"x", b"")],
    [b"say", b"hello, world", b'a " and a \\', b"1024", b"line\nfeed"],
    [[[b"deep"]], b"\x80" * 9, b"w" * 40],
    [b"put", [b"name", Atom(b"photo.png", b"text/plain")], b"\t\r\x0b\x0c", b"#abc#", b"{x}|y|"],
]


class Watched:
    """A stream as aread and aiter_parse use it, with an event set whenever
    one of its reads returns octets: a writer waits for it to know that the
    reader has taken a message's first piece before it sends the rest."""

    def __init__(self, reader):
        self.reader, self.got = reader, asyncio.Event()

    async def read(self, n):
        data = await self.reader.read(n)
        if data:
            self.got.set()
        return data


async def send(writer, data, cut, peer=None):
    """Writes `data` cut at `cut`; when both pieces hold octets, the second
    goes only once `peer` has read some of the first."""
    if 0 < cut < len(data):
        if peer:
            peer.got.clear()
        writer.write(data[:cut])
        await writer.drain()
        if peer:
            await peer.got.wait()
        data = data[cut:]
    writer.write(data)
    await writer.drain()


def run(main):
    """Runs `main()` in a new event loop; a read that waits for octets that
    never come fails the test rather than hang it."""
    asyncio.run(asyncio.wait_for(main(), 30))


@contextlib.asynccontextmanager
async def connection():
    """One TCP connection: the accepting side's reader (watched), and the
    connecting side's writer."""
    accepted = asyncio.get_running_loop().create_future()
    server = await asyncio.start_server(lambda r, w: accepted.set_result((Watched(r), w)), HOST, 0)
    async with server:
        _, writer = await asyncio.open_connection(HOST, server.sockets[0].getsockname()[1])
        reader, theirs = await accepted
        try:
            yield reader, writer
        finally:
            writer.close()
            theirs.close()


def test_requests_and_replies_in_every_representation_cut_at_every_octet():
    # Three clients at once, each message written in one representation and
    # replied to in the same; over the run every message is cut at each of
    # its octets, and the replies at spread-out points.
    jobs = []
    for payload in PAYLOADS:
        for name, form in FORMS.items():
            size = len(form([b"req", b"00000", name, *payload]))
            jobs += [(len(jobs) + k, name, payload, k) for k in range(size + 1)]
    assert len(jobs) > 1500
    received = []

    async def main():
        ends = collections.defaultdict(asyncio.get_running_loop().create_future)

        async def meet(side, other, key, reader):
            ends[side, key].set_result(Watched(reader))
            return ends[side, key].result(), await ends[other, key]

        async def serve(reader, writer):
            ours, peer = await meet("server", "client", writer.get_extra_info("peername"), reader)
            try:
                async for request in aiter_parse(ours):
                    received.append(request)
                    _, i, name, *payload = request
                    reply = FORMS[name]([b"re", i, *payload])
                    await send(writer, reply, int(i) * 7 % (len(reply) + 1), peer)
            finally:
                writer.close()

        async def client(port, mine):
            reader, writer = await asyncio.open_connection(HOST, port)
            ours, peer = await meet("client", "server", writer.get_extra_info("sockname"), reader)
            for i, name, payload, cut in mine:
                await send(writer, FORMS[name]([b"req", b"%05d" % i, name, *payload]), cut, peer)
                assert same(await aread(ours), [b"re", b"%05d" % i, *payload])
            writer.write_eof()
            with pytest.raises(EOFError):
                await aread(ours)  # the server saw the end, and closed
            writer.close()

        server = await asyncio.start_server(serve, HOST, 0)
        async with server:
            port = server.sockets[0].getsockname()[1]
            await asyncio.gather(*(client(port, jobs[c::3]) for c in range(3)))

    run(main)
    received.sort(key=lambda r: int(r[1]))
    assert same(received, [[b"req", b"%05d" % i, name, *p] for i, name, p, _ in jobs])


@pytest.mark.parametrize("stop", ["cancel aread", "cancel aiter_parse", "break"])
def test_a_read_stopped_mid_message_leaves_nothing_half_read(stop):
    value = [b"msg", Atom(b"\x00\xff", b"bin"), [b"a b", b"42"]]
    data = parvex.to_advanced(value).encode()
    before = parvex.to_canonical([b"before"])

    async def main():
        async with connection() as (reader, writer):
            sent = 0
            for cut in range(1, len(data)):
                reader.got.clear()
                writer.write((before if stop == "break" else b"") + data[:cut])
                if stop == "break":
                    async for first in aiter_parse(reader):
                        assert same(first, [b"before"])
                        break
                else:
                    read = aread(reader) if stop == "cancel aread" else anext(aiter_parse(reader))
                    task = asyncio.ensure_future(read)
                    await reader.got.wait()  # the piece was read and kept
                    task.cancel()
                    with pytest.raises(asyncio.CancelledError):
                        await task
                writer.write(data[cut:])
                assert same(await aread(reader), value)
                sent += (len(before) if stop == "break" else 0) + len(data)
            # Nothing was read twice or skipped: offsets still count from the start.
            writer.write(b")")
            with pytest.raises(ParseError) as info:
                await aread(reader)
            assert (info.value.kind, info.value.offset) == ("unmatched_parenthesis", sent)

    run(main)


@pytest.mark.parametrize("options, data, kind, offset", [
    ({}, b"(ok) ) (a)", "unmatched_parenthesis", 5),
    ({}, b"(2:ok)(a b", "unexpected_end", 10),  # the peer ends mid-message
    ({"canonical": True}, b"(2:ok)(a b)", "advanced_not_allowed", 7),
    ({"max_depth": 2}, b"((a))(((b)))", "too_deep", 7),
    ({"max_atom_len": 3}, b"(abc)(abcd)", "atom_too_long", 6),
    ({"max_input_len": 7}, b"(a b c)(a b c d)", "input_too_long", 14),
])
def test_a_bad_message_is_raised_again_by_every_later_read(options, data, kind, offset):
    async def main():
        async with connection() as (reader, writer):
            writer.write(data)
            if kind == "unexpected_end":
                writer.write_eof()
            assert await aread(reader, **options)
            calls = [lambda: aread(reader, **options),
                     lambda: anext(aiter_parse(reader, **options)),
                     lambda: aread(reader, chunk_size=1, **options),
                     lambda: aread(reader, **options, allow_empty_lists=False)]
            for call in calls:
                with pytest.raises(ParseError) as info:
                    await call()
                assert (info.value.kind, info.value.offset) == (kind, offset)
                if kind != "unexpected_end":
                    writer.write(b"(more)")  # read by no one: the stream is broken

    run(main)


@pytest.mark.parametrize("head, filler, offset", [
    (b"999999999:", b"x", 0),  # refused by its declared length
    (b'(a "', b"y", 3),
    (b"(#", b"41 ", 1),
    (b"(|", b"QUJD", 1),
    (b"(", b"t", 1),
])
def test_a_huge_atom_is_refused_as_its_octets_arrive(head, filler, offset):
    chunk = (filler * 1024)[:1024]
    limit = 1 << 20  # the peer sends at most this much, far more than the refusal needs

    async def main():
        async with connection() as (reader, writer):
            refused = asyncio.ensure_future(aread(reader, max_atom_len=4096))
            writer.write(head)
            sent = len(head)
            while not refused.done() and sent < limit:
                writer.write(chunk)
                await writer.drain()
                await asyncio.sleep(0)
                sent += len(chunk)
            with pytest.raises(ParseError) as info:
                await refused
            assert (info.value.kind, info.value.offset) == ("atom_too_long", offset)
            assert sent < limit

    run(main)


def test_offsets_count_from_the_start_of_the_stream_when_the_options_change():
    async def main():
        reader = asyncio.StreamReader()
        reader.feed_data(b"(a)(b]")
        assert await aread(reader) == [b"a"]
        with pytest.raises(ParseError) as info:
            await aread(reader, max_depth=5)
        assert info.value.offset == 5

    run(main)
