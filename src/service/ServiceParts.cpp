// Anchors the service library while the service program grows.
