using System;
using System.Runtime.InteropServices;
#if NET7_0_OR_GREATER
using System.Runtime.CompilerServices;
#endif

// The native library is looked for beside this assembly and in the system's own folders, never
// in the current directory, where anyone could have put a file of that name.
[assembly: DefaultDllImportSearchPaths(DllImportSearchPath.AssemblyDirectory | DllImportSearchPath.SafeDirectories)]

namespace Quelmora.Ntp
{
    // The library's seven functions, with blittable signatures only. Texts come back as
    // pointers to the library's own storage: declared as strings, the marshaller would free
    // them. On .NET 8 the stubs are generated at build time (LibraryImport), so trimming and
    // native AOT see them whole. (Plain comments: the package's documentation is of its
    // public types only.)
    internal static unsafe partial class NativeMethods
    {
        // quelmora_ntp.dll on Windows, libquelmora_ntp.so elsewhere.
        private const string Library = "quelmora_ntp";

        static NativeMethods() => NativeLibraryLoader.Register();

        internal const int Failed = -1;
        internal const int WrongState = -7;
        internal const int PacketSize = 48;

        // The statistics and last-error texts are buffers of the library's, one each for the
        // process, rewritten by other threads' calls: each is copied under this lock.
        internal static readonly object TextsGate = new object();

#if NET7_0_OR_GREATER
        [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
        internal static partial IntPtr ntp_version();

        [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
        internal static partial IntPtr ntp_last_error();

        [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
        internal static partial int ntp_start(int port);

        [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
        internal static partial int ntp_stop();

        [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
        internal static partial int ntp_status();

        [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
        internal static partial int ntp_query(byte* host, int port, byte* pkt, int pktLen);

        [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
        internal static partial IntPtr ntp_stats();
#else
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern IntPtr ntp_version();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern IntPtr ntp_last_error();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int ntp_start(int port);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int ntp_stop();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int ntp_status();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int ntp_query(byte* host, int port, byte* pkt, int pktLen);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern IntPtr ntp_stats();
#endif

        // A text of the library's, copied; it stays the library's.
        internal static string Text(IntPtr text) => Marshal.PtrToStringAnsi(text) ?? string.Empty;

        internal static string LastError()
        {
            lock (TextsGate) return Text(ntp_last_error());
        }

        internal static string Statistics()
        {
            lock (TextsGate) return Text(ntp_stats());
        }
    }
}
