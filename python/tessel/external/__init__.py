"""External analysis integrations."""
