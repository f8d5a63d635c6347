"""What the service's tests share as fixtures."""
import os
import re

import pytest

from service_kit import EXAMPLE, served


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """The example key as "example" (its inputs x1, x2, x3) and a copy as "other", on a free port."""
    folder = tmp_path_factory.mktemp("served")
    other = folder / "other.key"
    other.write_bytes(open(os.path.join(EXAMPLE, "example.key"), "rb").read())
    with open(folder / "access.log", "w") as log:
        with served("--inputs", "x1,x2,x3", "-j", "2", os.path.join(EXAMPLE, "example.key"), other, log=log) as (base, _):
            yield base
    # Time, peer (- for a client gone before its address was asked), method, target, model, status, bytes,
    # seconds.
    lines = (folder / "access.log").read_text().splitlines()
    assert lines and all(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (127\.0\.0\.1:\d+|-) ([A-Z]+ /\S*|- -) "
                                      r"(example|other|-) \d{3} \d+ \d+\.\d{6}", line) for line in lines), lines[:3]
