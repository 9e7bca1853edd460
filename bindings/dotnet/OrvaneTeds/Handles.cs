// Every handle of the library in a SafeHandle: released exactly once, by
// Dispose or else by the finalizer, and never while a call on it is under way
// (each call holds a reference to its handle while it runs).
using System;
using System.Runtime.InteropServices;

namespace Orvane.Teds
{
    internal sealed class DecodeResultHandle : SafeHandle
    {
        internal DecodeResultHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid => handle == IntPtr.Zero;
        protected override bool ReleaseHandle() =>
            Native.orvane_teds_decode_result_free(handle) == Status.Ok;
    }

    internal sealed class QueryResultHandle : SafeHandle
    {
        internal QueryResultHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid => handle == IntPtr.Zero;
        protected override bool ReleaseHandle() =>
            Native.orvane_teds_query_result_free(handle) == Status.Ok;
    }

    internal sealed class QueryHandle : SafeHandle
    {
        internal QueryHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid => handle == IntPtr.Zero;

        // The managed side of the callbacks, handed to the library as their
        // `user` pointer. Freed only once the library has let the handle go:
        // after that no callback can arrive with it.
        internal GCHandle Callbacks;

        protected override bool ReleaseHandle()
        {
            // Refused only on a thread inside one of the query's callbacks;
            // then the handle and what its callbacks use are left alive.
            if (Native.orvane_teds_query_destroy(handle) != Status.Ok) return false;
            if (Callbacks.IsAllocated) Callbacks.Free();
            return true;
        }
    }

    internal sealed class SimHandle : SafeHandle
    {
        internal SimHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid => handle == IntPtr.Zero;
        protected override bool ReleaseHandle() => Native.orvane_sim_detach(handle) == 0;
    }
}
