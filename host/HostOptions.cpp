// Placeholder translation unit of the host library; the host command's parts follow.
namespace varnel::host {}
