"""Reliability tests: sanitizers, leak hunt, fuzzing, concurrent writers, faults."""
