"""An HTTP proxy on 127.0.0.1 in front of the local S3 server, for the tests and the benchmarks:
it changes objects on the way, as whoever sits on a plain-HTTP path can (cuts the executable
short, alters its bytes, or answers any object with content of its own), and can pass the
answers on no faster than a slow link would."""

import socket
import threading
import time
import urllib.parse


def without(head, *names):
    return b"\r\n".join(line for line in head.split(b"\r\n") if not line.lower().startswith(names))


class Relay:
    """`keep` cuts every download of the executable to that many bytes; `alter` maps its body
    to another; `rewrite` maps object keys to functions of their bodies; `rate` (bytes a
    second) limits what all connections together pass towards the clients. Requests go
    upstream one connection each; the answers not changed are passed on as they come."""

    def __init__(self, upstream_port, keep=None, alter=None, rewrite=None, rate=None):
        self.upstream_port, self.keep, self.rate = upstream_port, keep, rate
        self.rewrite = dict(rewrite or {}, **({"kelvo_bot.exe": alter} if alter else {}))
        self.link = threading.Lock()
        self.free_at = time.monotonic()
        self.server = socket.create_server(("127.0.0.1", 0))
        self.server.settimeout(0.2)
        self.port = self.server.getsockname()[1]
        self.proxy = f"http://127.0.0.1:{self.port}"
        self.stopped = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while not self.stopped:
            try:
                client, _ = self.server.accept()
            except OSError:
                continue
            threading.Thread(target=self.relay, args=(client,), daemon=True).start()

    def relay(self, client):
        with client, socket.create_connection(("127.0.0.1", self.upstream_port)) as upstream:
            client.settimeout(10)
            request = b""
            while b"\r\n\r\n" not in request:
                data = client.recv(65536)
                if not data:
                    return
                request += data
            head = without(request.split(b"\r\n\r\n", 1)[0], b"connection:")
            upstream.sendall(head + b"\r\nConnection: close\r\n\r\n")
            method, target, _ = head.split(b"\r\n")[0].decode().split(" ", 2)
            key = urllib.parse.urlsplit(target).path.rpartition("/kelvo-bot/")[2]
            if not (method == "GET" and (key in self.rewrite or (key == "kelvo_bot.exe" and self.keep))):
                while data := upstream.recv(65536):
                    self.send(client, data)
                return
            response = b""
            while data := upstream.recv(65536):
                response += data
            header, _, body = response.partition(b"\r\n\r\n")
            if key in self.rewrite:
                # Whoever swaps an object on the way drops its checksum headers too, and
                # gives the new length.
                body = self.rewrite[key](body)
                header = without(header, b"x-amz-checksum", b"content-length:")
                header += b"\r\nContent-Length: %d" % len(body)
            else:
                body = body[: self.keep]
            self.send(client, header + b"\r\n\r\n" + body)

    def send(self, client, data):
        if self.rate:
            with self.link:
                self.free_at = max(self.free_at, time.monotonic()) + len(data) / self.rate
                due = self.free_at
            time.sleep(max(0.0, due - time.monotonic()))
        client.sendall(data)

    def close(self):
        self.stopped = True
        self.thread.join()
        self.server.close()
