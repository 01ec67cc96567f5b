using System;

namespace Quelmora.Ntp
{
    /// <summary>
    /// A call of the library failed; the message is the library's own text for the failure,
    /// such as "bind failed (port in use?)" or "no reply within 5s (timeout or short packet)".
    /// </summary>
    public class NtpException : Exception
    {
        /// <summary>Creates the exception with a general message.</summary>
        public NtpException() : base("the quelmora-ntp library reported a failure") { }

        /// <summary>Creates the exception with the library's text for the failure.</summary>
        /// <param name="message">The library's last-error text.</param>
        public NtpException(string message) : base(message) { }

        /// <summary>Creates the exception with a message and the exception that caused it.</summary>
        /// <param name="message">What failed.</param>
        /// <param name="innerException">The cause.</param>
        public NtpException(string message, Exception innerException) : base(message, innerException) { }

        // -1 carries the library's text; -7 means the call came in the wrong server state.
        internal static void ThrowOnFailure(int result, string wrongStateMessage)
        {
            if (result == NativeMethods.Failed) throw new NtpException(NtpLibrary.LastError);
            if (result == NativeMethods.WrongState) throw new InvalidOperationException(wrongStateMessage);
        }
    }
}
