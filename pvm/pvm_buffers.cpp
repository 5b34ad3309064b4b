// PLACEHOLDER: replaced by the per-thread PVM buffers.
namespace { int unused_pvm_buffers_placeholder; }
