namespace Quelmora.Ntp
{
    /// <summary>What the native library says of itself.</summary>
    public static class NtpLibrary
    {
        /// <summary>The native library's version, such as "1.0.0".</summary>
        public static string Version => NativeMethods.Text(NativeMethods.ntp_version());

        /// <summary>
        /// The text of the most recent failure in this process ("" before any); a later success
        /// does not clear it. It is one text for the whole process, which failures in several
        /// threads write one over the other: <see cref="NtpException"/> carries the reason read
        /// at once after its own call.
        /// </summary>
        public static string LastError => NativeMethods.LastError();
    }
}
