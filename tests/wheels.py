"""What every wheel of the project must say of itself, whichever build made it."""

import zipfile

from project import version


def check_release_metadata(wheel):
    """What keeps a wheel, which holds the storage keys, off package indexes, and names it."""
    metadata = zipfile.ZipFile(wheel).read(f"updater_core-{version()}.dist-info/METADATA").decode()
    required = {"Name: updater_core", f"Version: {version()}", "Classifier: Private :: Do Not Upload",
                "License-Expression: LicenseRef-Proprietary", "Requires-Dist: progressbar==2.5"}
    assert required <= set(metadata.split("\n\n")[0].splitlines()), metadata[:2000]
