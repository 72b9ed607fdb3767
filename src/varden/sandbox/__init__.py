"""Loopback stand-ins of the platform's remote services, with a small sample data set."""
