// Anchors the common library while it grows.
