"""Holds a robot at a target height over an orvapy link."""
