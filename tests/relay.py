"""An HTTP proxy on 127.0.0.1 in front of the local S3 server, for the tests and the benchmarks:
it changes objects on the way, as whoever sits on a plain-HTTP path can (cuts the executable
short, alters its bytes, or answers any object with content of its own), and can pass the
answers on no faster than a slow link would, or drip them a byte at a time."""

import socket
import socketserver
import threading
import time
import urllib.parse


def without(head, *names):
    return b"\r\n".join(line for line in head.split(b"\r\n") if not line.lower().startswith(names))


class Relay(socketserver.ThreadingTCPServer):
    """`keep` cuts every download of the executable to that many bytes; `alter` maps its body
    to another; `rewrite` maps object keys to functions of their bodies; `rate` (bytes a
    second) limits what all connections together pass towards the clients; `drip` maps object
    keys to the seconds between two bytes of their answers, `drip_body` of their bodies only
    (the headers come at once), `cut` the seconds after which a dripped answer's connection is
    cut; `status` maps object keys to the status line their rewritten answers get instead of
    theirs ("404 Not Found"). Requests go upstream one connection each; the answers not changed
    are passed on as they come."""

    daemon_threads = True
    request_queue_size = 128  # a download in parallel parts opens many connections at once

    def __init__(self, upstream_port, keep=None, alter=None, rewrite=None, rate=None, drip=None, drip_body=None,
                 cut=None, status=None):
        super().__init__(("127.0.0.1", 0), Exchange)
        self.upstream_port, self.keep, self.rate = upstream_port, keep, rate
        self.drip, self.drip_body, self.cut, self.status = drip or {}, drip_body or {}, cut, status or {}
        self.rewrite = dict(rewrite or {}, **({"kelvo_bot.exe": alter} if alter else {}))
        self.link = threading.Lock()
        self.free_at = time.monotonic()
        self.proxy = f"http://127.0.0.1:{self.server_address[1]}"
        threading.Thread(target=self.serve_forever, args=(0.1,), daemon=True).start()

    def send(self, client, data):
        if self.rate:
            with self.link:
                self.free_at = max(self.free_at, time.monotonic()) + len(data) / self.rate
                due = self.free_at
            time.sleep(max(0.0, due - time.monotonic()))
        client.sendall(data)

    def close(self):
        self.shutdown()
        self.server_close()


class Exchange(socketserver.BaseRequestHandler):
    """One request relayed upstream, and its answer back."""

    def handle(self):
        relay, client = self.server, self.request
        with socket.create_connection(("127.0.0.1", relay.upstream_port)) as upstream:
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
            if method == "GET" and (key in relay.drip or key in relay.drip_body):
                answer = b""
                while data := upstream.recv(65536):
                    answer += data
                if key in relay.drip_body:
                    head, _, answer = answer.partition(b"\r\n\r\n")
                    client.sendall(head + b"\r\n\r\n")
                began = time.monotonic()
                for byte in answer:
                    if relay.cut and time.monotonic() - began >= relay.cut:
                        return
                    client.sendall(bytes([byte]))
                    time.sleep(relay.drip.get(key) or relay.drip_body[key])
                return
            if not (method == "GET" and (key in relay.rewrite or (key == "kelvo_bot.exe" and relay.keep))):
                while data := upstream.recv(65536):
                    relay.send(client, data)
                return
            response = b""
            while data := upstream.recv(65536):
                response += data
            header, _, body = response.partition(b"\r\n\r\n")
            if key in relay.rewrite:
                # Whoever swaps an object on the way drops its checksum headers too, and
                # gives the new length.
                body = relay.rewrite[key](body)
                header = without(header, b"x-amz-checksum", b"content-length:")
                header += b"\r\nContent-Length: %d" % len(body)
                if key in relay.status:
                    header = b"HTTP/1.1 " + relay.status[key].encode() + header[header.index(b"\r\n"):]
            else:
                body = body[: relay.keep]
            relay.send(client, header + b"\r\n\r\n" + body)
