namespace Quelmora.Ntp
{
    /// <summary>What the native library says of itself.</summary>
    public static class NtpLibrary
    {
        /// <summary>The native library's version, such as "1.0.0".</summary>
        public static string Version => NativeMethods.Text(NativeMethods.ntp_version());

        /// <summary>
        /// The text of the most recent failure in this process ("" before any); a later success
        /// does not clear it. Failures in several threads write it one over the other.
        /// </summary>
        public static string LastError => NativeMethods.Text(NativeMethods.ntp_last_error());
    }
}
