# Linux backend: the program and its end-to-end tests.
