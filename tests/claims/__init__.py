"""Claims across processes: the workers and the S3 service the tests start."""
