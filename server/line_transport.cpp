// PLACEHOLDER: replaced by the line transport.
namespace { int unused_line_placeholder; }
