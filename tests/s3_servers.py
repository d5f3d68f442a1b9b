"""The S3 servers the tests run against, on 127.0.0.1, reached through them as a proxy."""

from __future__ import annotations

import contextlib
import hashlib
from dataclasses import dataclass

import harness  # puts tools/ on the path
import local_s3
import release_record
import release_statement
import seaweedfs
from project import BUCKET, EXE_NAME


@dataclass
class S3Server:
    """An S3 server on 127.0.0.1 with the bucket, reached through it as a proxy: moto's, or
    SeaweedFS, which checks signatures and lets the module's keys only read. `client` is the
    publisher's; `store` SeaweedFS's running processes."""

    port: int
    endpoint: str
    request_log: list | None
    client: object
    store: seaweedfs.Store | None = None

    @property
    def proxy(self):
        return f"http://127.0.0.1:{self.port}"

    def put(self, key, content):
        self.client.put_object(Bucket=BUCKET, Key=key, Body=content)

    def delete(self, key):
        self.client.delete_object(Bucket=BUCKET, Key=key)

    def get(self, key):
        """The object's bytes, or None when there is none."""
        try:
            return self.client.get_object(Bucket=BUCKET, Key=key)["Body"].read()
        except self.client.exceptions.NoSuchKey:
            return None

    def publish(self, exe, digest=None, signing_key=..., release=None, expires=None, size=None):
        """The executable, its release statement (signed by the tests' key unless given; None:
        none, and an earlier one removed), then the digest (64 lower-case hex digits unless
        given), as publisher.py does. The statement is of release `release` (by default the one
        after the store's current statement, or 1), expires at the end of the date `expires`
        (None: never), and states `digest` and `size`, by default those of `exe`: a test may
        sign a lie. The number after the store's is the publisher's rule (release_record.py)."""
        digest = hashlib.sha256(exe).hexdigest().encode() if digest is None else digest
        if signing_key is ...:
            signing_key = local_s3.test_signing_key()
        if signing_key is not None:
            # The digest as the module reads exe_hash: white space around it and upper case ignored.
            statement = release_statement.make(
                signing_key, digest.strip().lower().decode("ascii"), len(exe) if size is None else size,
                self.following_release() if release is None else release,
                expires)
        self.put(EXE_NAME, exe)
        if signing_key is not None:
            self.put("exe_hash.sig", statement)
        else:
            self.delete("exe_hash.sig")
        self.put("exe_hash", digest)

    def following_release(self):
        """The number the publisher gives a new release over what the store holds."""
        return release_record.following(release_record.current_statement(self.get("exe_hash.sig")),
                                        release_record.parse_record(self.get(release_record.RECORD_KEY)))

    def empty(self):
        for item in self.client.list_objects_v2(Bucket=BUCKET).get("Contents", []):
            self.delete(item["Key"])

    def downloads(self):
        """How many times the executable has been asked for so far (None with SeaweedFS)."""
        requests = self.requests()
        return None if requests is None else sum('"GET ' in line and f"/{EXE_NAME}" in line
                                                  for line in requests)

    def requests(self):
        """moto's request log so far; SeaweedFS keeps none (None)."""
        return None if self.request_log is None else list(self.request_log)


@contextlib.contextmanager
def moto_server(build):
    """moto's server with the bucket, reached under the endpoint `build` was made with."""
    with local_s3.serving() as server:
        endpoint = local_s3.built_endpoint(build)
        # moto takes any keys; its client goes through it as a proxy, as SeaweedFS's clients do.
        client = seaweedfs.client(server.port, ("test", "test"), endpoint)
        yield S3Server(server.port, endpoint, server.requests, client)


@contextlib.contextmanager
def seaweedfs_server(build, keys=None, cluster=False):
    """SeaweedFS with the bucket, reached under the endpoint `build` was made with, knowing the
    module's keys of `build` (or `keys`); one server, or a cluster of two volume servers."""
    endpoint = local_s3.built_endpoint(build)
    with seaweedfs.serving(keys or seaweedfs.built_keys(build), cluster=cluster,
                           env=harness.clean_environment(sanitizers=False)) as store:
        yield S3Server(store.port, endpoint, None, store.client(endpoint=endpoint), store)
