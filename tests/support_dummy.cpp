// Keeps the test-support archive non-empty while tests/support/ has no sources.
