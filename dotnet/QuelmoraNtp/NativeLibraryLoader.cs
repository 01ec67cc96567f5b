using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;

namespace Quelmora.Ntp
{
    // Makes the first call find the native library built for the running process.
    // .NET finds runtimes/RID/native/ by itself; .NET Framework does not, so the package's
    // build targets put each Windows DLL in x86/ or x64/ beside the program and this loads the
    // one of the process's bitness first, which the imports by name then use. Where the
    // package has no library, the first call says so instead of failing to load a file.
    internal static class NativeLibraryLoader
    {
        internal const string SupportedRuntimes =
            "win-x86, win-x64, win-arm64 (.NET 5 and later), linux-x64 and linux-arm64 (Linux with glibc 2.17 or later), "
            + "linux-musl-x64 and linux-musl-arm64 (Linux with musl, as Alpine), "
            + "osx-arm64 and osx-x64 (macOS 11 or later)";

        private const string WindowsDll = "quelmora_ntp.dll";

        internal static void Register()
        {
#if NET5_0_OR_GREATER
            NativeLibrary.SetDllImportResolver(typeof(NativeLibraryLoader).Assembly, (_, _, _) =>
            {
                ThrowIfUnsupported();
                return IntPtr.Zero;  // the runtime's own search
            });
#else
            ThrowIfUnsupported();
            if (RuntimeInformation.IsOSPlatform(OSPlatform.Windows))
                LoadForThisBitness();
#endif
        }

        private static void ThrowIfUnsupported()
        {
            string? platform = UnsupportedPlatform();
            if (platform != null)
                throw new PlatformNotSupportedException(
                    $"quelmora-ntp has no native library for {platform}: it supports {SupportedRuntimes}.");
        }

        // .NET finds runtimes/win-arm64/native/; .NET Framework's build targets copy
        // only the x86 and x64 DLLs beside the program.
        private static bool WindowsArm64(Architecture architecture)
        {
#if NET5_0_OR_GREATER
            return architecture == Architecture.Arm64;
#else
            return false;
#endif
        }

        // The running platform if the package has no library for it, else null.
        private static string? UnsupportedPlatform()
        {
            Architecture architecture = RuntimeInformation.ProcessArchitecture;
            if (RuntimeInformation.IsOSPlatform(OSPlatform.Windows))
                return architecture == Architecture.X86 || architecture == Architecture.X64 || WindowsArm64(architecture)
                    ? null : $"Windows on {architecture}";
            // glibc and musl alike: the runtime picks the library of its C library.
            if (RuntimeInformation.IsOSPlatform(OSPlatform.Linux))
                return architecture == Architecture.X64 || architecture == Architecture.Arm64
                    ? null : $"Linux on {architecture}";
            // libquelmora_ntp.dylib, found by the runtime in runtimes/osx-*/native.
            if (RuntimeInformation.IsOSPlatform(OSPlatform.OSX))
                return architecture == Architecture.X64 || architecture == Architecture.Arm64
                    ? null : $"macOS on {architecture}";
            return RuntimeInformation.OSDescription;
        }

#if !NET5_0_OR_GREATER
        [DllImport("kernel32", CharSet = CharSet.Unicode, ExactSpelling = true)]
        private static extern IntPtr LoadLibraryW(string path);

        private static void LoadForThisBitness()
        {
            string folder = Environment.Is64BitProcess ? "x64" : "x86";
            foreach (string root in Roots())
            {
                string path = Path.Combine(root, folder, WindowsDll);
                if (File.Exists(path) && LoadLibraryW(path) != IntPtr.Zero)
                    return;
            }
            // Not there: the DLL beside the program, found by name as before.
        }

        // ASP.NET shadow-copies this assembly to a folder of its own, without the DLLs: those
        // stay in the site's bin folder, which the domain names as its private search path.
        private static IEnumerable<string> Roots()
        {
            AppDomain domain = AppDomain.CurrentDomain;
            string baseDirectory = domain.BaseDirectory ?? string.Empty;
            var roots = new List<string> { baseDirectory };
            foreach (string relative in (domain.RelativeSearchPath ?? string.Empty).Split(';'))
                roots.Add(Path.Combine(baseDirectory, relative));
            roots.Add(Path.Combine(baseDirectory, "bin"));
            string location = typeof(NativeLibraryLoader).Assembly.Location;
            if (location.Length > 0) roots.Add(Path.GetDirectoryName(location) ?? string.Empty);
            return roots.Where(root => root.Length > 0).Distinct(StringComparer.OrdinalIgnoreCase);
        }
#endif
    }
}
