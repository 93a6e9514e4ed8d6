// Anchors the shared library; its code comes whole from logreport_core.
