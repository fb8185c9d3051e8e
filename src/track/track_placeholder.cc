// Replaced by the track subsystem sources.
