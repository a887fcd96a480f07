// (filled in by the implementation)
