// Stands in for a test program none of whose units build on Windows (tests/windows.cmake).
