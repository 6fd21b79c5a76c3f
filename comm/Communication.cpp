#include <qvl3d/Communication.h>

#include <utility>

CHaloTransport::~CHaloTransport() = default;
CSumTransport::~CSumTransport() = default;
CMessageTransport::~CMessageTransport() = default;

void CSumTransport::SumEach(double* values, int count)
{
    for (int k = 0; k < count; ++k) values[k] = Sum(values[k]);
}

CCommunication::CCommunication() = default;

CCommunication::CCommunication(std::shared_ptr<CHaloTransport> pTransport) : m_pTransport(std::move(pTransport)) {}

void CCommunication::DDM_Exch(double* v)
{
    if (m_pTransport) m_pTransport->Exchange(v);
}

void CCommunication::DDM_IExch_Start(double* v, QVLNonBlockingBufferId id)
{
    if (m_pTransport) m_pTransport->Start(v, id);
}

void CCommunication::DDM_IExch_Wait(double* v, QVLNonBlockingBufferId id)
{
    if (m_pTransport) m_pTransport->Wait(v, id);
}

CQVLCom::CQVLCom() = default;

CQVLCom::CQVLCom(std::shared_ptr<CSumTransport> pTransport) : m_pTransport(std::move(pTransport)) {}

double CQVLCom::AllSum(double& v)
{
    return m_pTransport ? m_pTransport->Sum(v) : v;
}

void CQVLCom::AllSum(double* v, int count)
{
    if (m_pTransport && count > 0) m_pTransport->SumEach(v, count);
}
