"""Stores in buckets of moto's S3 service, reached as a user's program reaches S3."""

from __future__ import annotations

import pathlib
import uuid

import pytest


def s3_environment(endpoint: str, tmp_path: pathlib.Path) -> dict[str, str]:
    """Dummy credentials and the service's endpoint, and no configuration of the developer's own."""
    return {
        "AWS_ACCESS_KEY_ID": "testing",
        "AWS_SECRET_ACCESS_KEY": "testing",
        "AWS_DEFAULT_REGION": "us-east-1",
        "AWS_ENDPOINT_URL": endpoint,
        "AWS_CONFIG_FILE": str(tmp_path / "no-aws-config"),
        "AWS_SHARED_CREDENTIALS_FILE": str(tmp_path / "no-aws-credentials"),
        "NO_PROXY": "127.0.0.1",
    }


def bucket_store(endpoint: str, tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch,
                 prefix: str) -> tuple[str, dict[str, str]]:
    """A store in a new bucket of the service at `endpoint`, with the
    environment that reaches it set for the test: (its URL, that environment)."""
    env = s3_environment(endpoint, tmp_path)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    import s3fs

    bucket = f"{prefix}-{uuid.uuid4().hex[:12]}"
    s3fs.S3FileSystem(skip_instance_cache=True).mkdir(bucket)
    return f"s3://{bucket}/sims", env
