namespace { int unused_definitions_placeholder; }
