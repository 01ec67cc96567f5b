using System;

namespace Quelmora.Ntp
{
    /// <summary>
    /// A reply came but holds no server's time: its mode is not 4 (server) or 5 (broadcast), or its
    /// transmit, originate or receive timestamp is zero. The message says which.
    /// </summary>
    public class NtpInvalidReplyException : NtpException
    {
        private readonly byte[] raw;

        internal NtpInvalidReplyException(NtpErrorCode errorCode, string reason, byte[] packet)
            : base(errorCode, reason)
        {
            raw = new byte[NativeMethods.PacketSize];
            Array.Copy(packet, raw, raw.Length);
        }

        /// <summary>A copy of the 48 bytes of the reply, as they came.</summary>
        public byte[] Raw => (byte[])raw.Clone();
    }
}
