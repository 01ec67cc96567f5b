namespace Quelmora.Ntp
{
    /// <summary>
    /// The server refused service with a kiss-o'-death (stratum 0): <see cref="KissCode"/> says
    /// why. "RATE" asks the client to query less often; "DENY" and "RSTR" to stop querying this
    /// server.
    /// </summary>
    public sealed class NtpKissOfDeathException : NtpInvalidReplyException
    {
        internal NtpKissOfDeathException(string kissCode, byte[] packet)
            : base(NtpErrorCode.KissOfDeath, "kiss-o'-death from the server: " + kissCode, packet)
        {
            KissCode = kissCode;
        }

        /// <summary>The kiss code, such as "RATE", "DENY" or "RSTR".</summary>
        public string KissCode { get; }
    }
}
