"""What `_upload` costs over plain `put`: its temporary file, lstat and rename.

The embedded server serves a fresh directory, reached once directly on
loopback and once through a small TCP proxy of our own that holds every
chunk 10 ms in each direction (a round trip of 20 ms; this kernel has no
netem).  For 4 KiB and 64 MiB, into a new and over an existing file, the
module's `_upload` and the client's own `put` alternate; the figures are
the best time of each, their ratio, and the requests that waited for an
answer (the round trips; the writes go pipelined, as put sends them).

    ./dev bench-upload [--pairs N] [--large-pairs N] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import socket
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import sftp_main  # noqa: E402
from servers.embedded import EmbeddedSFTPServer  # noqa: E402

DELAY = 0.010


def _pump(source: socket.socket, target: socket.socket) -> None:
    """Forwards what source sends, each chunk DELAY after it came, without holding up the next."""
    chunks: list[tuple[float, bytes]] = []
    ready = threading.Condition()

    def send() -> None:
        while True:
            with ready:
                while not chunks:
                    ready.wait()
                due, data = chunks.pop(0)
            time.sleep(max(0.0, due - time.monotonic()))
            try:
                if not data:
                    target.shutdown(socket.SHUT_WR)
                    return
                target.sendall(data)
            except OSError:  # the other side went away at the end
                return
    threading.Thread(target=send, daemon=True).start()
    while True:
        try:
            data = source.recv(1 << 16)
        except OSError:
            data = b""
        with ready:
            chunks.append((time.monotonic() + DELAY, data))
            ready.notify()
        if not data:
            return


def delaying_proxy(port: int) -> int:
    """A port on loopback whose connections reach `port`, DELAY late each way."""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve() -> None:
        while True:
            client, _ = listener.accept()
            server = socket.create_connection(("127.0.0.1", port))
            for a, b in ((client, server), (server, client)):
                a.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                threading.Thread(target=_pump, args=(a, b), daemon=True).start()
    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def timed(obj: Any, how: str, src: Path, root: Path, existing: bool, requests: list[int]) -> float:
    target = root / "target"
    if existing:
        target.write_bytes(b"old")
    else:
        target.unlink(missing_ok=True)
    client, real, count = obj._sftp, obj._sftp._request, [0]

    def counted(*args: Any) -> Any:
        count[0] += 1
        return real(*args)
    client._request = counted
    started = time.perf_counter()
    ok = obj._upload(str(src), "target") if how == "module" else client.put(str(src), "target") is not None
    took = time.perf_counter() - started
    del client._request
    assert ok and target.stat().st_size == src.stat().st_size
    requests.append(count[0])
    return took


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=15, help="alternated pairs for 4 KiB (default 15)")
    parser.add_argument("--large-pairs", type=int, default=3, help="alternated pairs for 64 MiB (default 3)")
    parser.add_argument("--json", help="write the figures to this file as well")
    args = parser.parse_args()
    work = Path(tempfile.mkdtemp(prefix="sftp-bench-upload-"))
    (work / "root").mkdir()
    sources = {"4 KiB": work / "small", "64 MiB": work / "large"}
    sources["4 KiB"].write_bytes(os.urandom(4096))
    sources["64 MiB"].write_bytes(os.urandom(64 << 20))
    rows = []
    with EmbeddedSFTPServer(work / "root") as server:
        for link, port in (("loopback", server.port), ("10 ms each way", delaying_proxy(server.port))):
            obj = sftp_main.VornaxSFTPMain(dict(server.config(), port=port))
            obj._connect()
            for size, src in sources.items():
                for existing in (False, True):
                    times: dict[str, list[float]] = {"module": [], "put": []}
                    requests: dict[str, list[int]] = {"module": [], "put": []}
                    pairs = args.pairs if size == "4 KiB" else args.large_pairs
                    for _ in range(pairs + 1):
                        for how in ("module", "put"):
                            times[how].append(timed(obj, how, src, server.root, existing, requests[how]))
                    best = {how: min(t[1:]) for how, t in times.items()}  # the first pair warms up
                    row = {"link": link, "size": size, "destination": "existing" if existing else "new",
                           "module_ms": best["module"] * 1e3, "put_ms": best["put"] * 1e3,
                           "ratio": best["module"] / best["put"],
                           "extra_round_trips": requests["module"][-1] - requests["put"][-1]}
                    rows.append(row)
                    print(f"{link:>15} {size:>7} {row['destination']:>8}: module {row['module_ms']:9.1f} ms, "
                          f"put {row['put_ms']:9.1f} ms, x{row['ratio']:.3f}, "
                          f"{row['extra_round_trips']} more requests answered", flush=True)
            obj._close()
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
