"""What every wheel of the project must say of itself, whichever build made it."""

import zipfile


def check_release_metadata(wheel):
    """What keeps a wheel, which holds the storage keys, off package indexes, and names it."""
    metadata = zipfile.ZipFile(wheel).read("updater_core-0.1.0.dist-info/METADATA").decode()
    required = {"Name: updater_core", "Version: 0.1.0", "Classifier: Private :: Do Not Upload",
                "License-Expression: LicenseRef-Proprietary", "Requires-Dist: progressbar==2.5"}
    assert required <= set(metadata.split("\n\n")[0].splitlines()), metadata[:2000]
