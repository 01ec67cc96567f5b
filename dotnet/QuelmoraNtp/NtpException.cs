using System;
using System.Collections.Generic;

namespace Quelmora.Ntp
{
    /// <summary>
    /// A call of the library failed. <see cref="ErrorCode"/> says what failed; the message is the
    /// library's own text for it, such as "bind failed (port in use?)".
    /// </summary>
    /// <remarks>
    /// The library keeps the reason for the last failure in one text for the whole process. It is
    /// read at once after the failing call, and only a reason that call can give is taken: where
    /// another thread's failure overwrote it with anything else in the meantime, the code is
    /// <see cref="NtpErrorCode.Unknown"/> and the message says the reason was lost. Two calls of
    /// the same kind failing at once may each show either one's reason.
    /// </remarks>
    public class NtpException : Exception
    {
        internal const string LostReason = "the reason was lost to a concurrent failure in another thread";

        private static readonly Dictionary<string, NtpErrorCode> LibraryReasons =
            new Dictionary<string, NtpErrorCode>(StringComparer.Ordinal)
            {
                ["bad port"] = NtpErrorCode.BadPort,
                ["WSAStartup failed"] = NtpErrorCode.SocketLayerStartFailed,
                ["socket() failed"] = NtpErrorCode.SocketFailed,
                ["bind failed (port in use?)"] = NtpErrorCode.BindFailed,
                ["CreateThread failed"] = NtpErrorCode.ThreadCreationFailed,
                ["bad params (need host, pkt buffer >= 48)"] = NtpErrorCode.BadParameters,
                ["host resolve failed"] = NtpErrorCode.HostResolveFailed,
                ["connect failed"] = NtpErrorCode.ConnectFailed,
                ["send failed"] = NtpErrorCode.SendFailed,
                ["no reply within 5s (timeout or short packet)"] = NtpErrorCode.NoReply,
            };

        // The reasons each call can give. The arguments are checked before the call, so neither
        // can fail with "bad port" or "bad params (need host, pkt buffer >= 48)"; ntp_stop gives none.
        internal static readonly NtpErrorCode[] StartReasons =
        {
            NtpErrorCode.SocketLayerStartFailed, NtpErrorCode.SocketFailed, NtpErrorCode.BindFailed,
            NtpErrorCode.ThreadCreationFailed,
        };
        internal static readonly NtpErrorCode[] QueryReasons =
        {
            NtpErrorCode.SocketLayerStartFailed, NtpErrorCode.SocketFailed, NtpErrorCode.HostResolveFailed,
            NtpErrorCode.ConnectFailed, NtpErrorCode.SendFailed, NtpErrorCode.NoReply,
        };
        internal static readonly NtpErrorCode[] NoReasons = { };

        /// <summary>Creates the exception with a general message.</summary>
        public NtpException() : base("the quelmora-ntp library reported a failure") { }

        /// <summary>Creates the exception with a message and <see cref="NtpErrorCode.Unknown"/>.</summary>
        /// <param name="message">What failed.</param>
        public NtpException(string message) : base(message) { }

        /// <summary>Creates the exception with a message and the exception that caused it.</summary>
        /// <param name="message">What failed.</param>
        /// <param name="innerException">The cause.</param>
        public NtpException(string message, Exception innerException) : base(message, innerException) { }

        /// <summary>Creates the exception with what failed and its text.</summary>
        /// <param name="errorCode">What failed.</param>
        /// <param name="message">The text for it.</param>
        public NtpException(NtpErrorCode errorCode, string message) : base(message)
        {
            ErrorCode = errorCode;
        }

        /// <summary>What failed.</summary>
        public NtpErrorCode ErrorCode { get; }

        // The library's text, read by the caller at once after its failing call. A text the call
        // cannot give is another call's (or torn between two), never this one's.
        internal static NtpException FromLibraryReason(string reason, NtpErrorCode[] possible) =>
            LibraryReasons.TryGetValue(reason, out NtpErrorCode code) && Array.IndexOf(possible, code) >= 0
                ? new NtpException(code, reason)
                : new NtpException(NtpErrorCode.Unknown, LostReason);

        // -1 carries the library's text; -7 means the call came in the wrong server state.
        internal static void ThrowOnFailure(int result, string wrongStateMessage, NtpErrorCode[] possible)
        {
            if (result == NativeMethods.Failed) throw FromLibraryReason(NativeMethods.LastError(), possible);
            if (result == NativeMethods.WrongState) throw new InvalidOperationException(wrongStateMessage);
        }
    }
}
