# Windows backend: the cross-built program, and (native tree) its Wine tests.
