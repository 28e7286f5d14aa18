"""Storage-server stand-in for end-to-end tests (see ../README.md)."""
