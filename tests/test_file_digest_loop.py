"""The digest loop's block_size lookup: shortened only where its answer cannot change."""

import types

import pytest

from fakes import fake_world, import_module


def changes_class_attribute(h):
    type(h).block_size = 32


def replaces_data_descriptor(h):
    type(h).block_size = property(lambda self: 32)


def shadows_with_instance_attribute(h):
    h.block_size = 32


@pytest.mark.parametrize("change", [changes_class_attribute, replaces_data_descriptor,
                                    shadows_with_instance_attribute])
def test_block_size_changed_between_passes_is_read_on_the_next(native_build, tmp_path, change):
    """A hash type that is not immutable gets the ordinary lookup on every pass."""
    module = import_module(native_build, fake_world("missing", posix=True)).module
    chunks = []

    class Hash:
        block_size = property(lambda self: 64) if change is replaces_data_descriptor else 64

        def update(self, chunk):
            chunks.append(len(chunk))
            if len(chunks) == 1:
                change(self)

        def hexdigest(self):
            return "done"

    path = tmp_path / "f"
    path.write_bytes(b"x" * 200)
    module.hashlib = types.SimpleNamespace(sha256=Hash)
    assert module.get_hash_digest(str(path)) == "done"
    assert chunks == [64, 32, 32, 32, 32, 8]
