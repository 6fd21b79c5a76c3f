! The module qvl3d: the C interface of qvl3d.h for Fortran 2008 hosts. The
! types match the C structs field by field and the routines are the C
! functions themselves, so every rule of qvl3d.h holds here: codes, messages,
! index bases (1 suits Fortran arrays), and the monitor, a bind(c) function
! given with c_funloc:
!
!   integer(c_int) function stop_early(user, iteration, norm) bind(c)
!     type(c_ptr), value :: user
!     integer(c_int), value :: iteration
!     real(c_double), value :: norm
!
! Strings come back through the _copy routines into character(kind=c_char)
! buffers, cut to fit and ended by c_null_char. The distributed routines
! need libQVL3DToolCMPI (QVL3DTool::CMPI) besides.
module qvl3d
  use, intrinsic :: iso_c_binding
  implicit none
  private
  public :: qvl3d_options, qvl3d_result
  public :: qvl3d_options_default, qvl3d_options_set_words, qvl3d_solver_create, qvl3d_solver_create64, &
            qvl3d_solver_update, qvl3d_solver_solve, qvl3d_solver_history, qvl3d_solver_size, &
            qvl3d_solver_destroy, qvl3d_last_error_copy, qvl3d_status_name_copy, &
            qvl3d_dsolver_create, qvl3d_dsolver_update, qvl3d_dsolver_solve, qvl3d_dsolver_history, &
            qvl3d_dsolver_destroy, qvl3d_dsolver_last_error_copy

  ! qvl3d_code
  integer(c_int), parameter, public :: QVL3D_OK = 0, QVL3D_INVALID_ARGUMENT = 1, QVL3D_OUT_OF_MEMORY = 2, &
                                       QVL3D_REFUSED = 3, QVL3D_INTERNAL = 4
  ! qvl3d_status
  integer(c_int), parameter, public :: QVL3D_STATUS_CONVERGED = 0, QVL3D_STATUS_ITERATION_LIMIT = 1, &
    QVL3D_STATUS_ZERO_INITIAL_RESIDUAL = 2, QVL3D_STATUS_LIMIT_BELOW_ONE = 3, QVL3D_STATUS_BREAKDOWN_RHO = 4, &
    QVL3D_STATUS_BREAKDOWN_BETA = 5, QVL3D_STATUS_BREAKDOWN_SIGMA = 6, QVL3D_STATUS_BREAKDOWN_ALPHA = 7, &
    QVL3D_STATUS_BREAKDOWN_TT = 8, QVL3D_STATUS_BREAKDOWN_OMEGA = 9, QVL3D_STATUS_NON_FINITE = 10, &
    QVL3D_STATUS_ZERO_RHS = 11, QVL3D_STATUS_DIVERGED = 12, QVL3D_STATUS_INDEFINITE = 13, &
    QVL3D_STATUS_INACCURATE = 14, QVL3D_STATUS_INTERRUPTED = 15, QVL3D_STATUS_NOT_RUN = 16, &
    QVL3D_STATUS_STAGNATED = 17, QVL3D_STATUS_BREAKDOWN_KRYLOV = 18
  ! qvl3d_method, qvl3d_preconditioner, qvl3d_layout, qvl3d_reference
  integer(c_int), parameter, public :: QVL3D_METHOD_BICGSTAB = 0, QVL3D_METHOD_PCG = 1, QVL3D_METHOD_GS = 2, &
                                       QVL3D_METHOD_GMRES = 3, QVL3D_METHOD_FGMRES = 4, QVL3D_METHOD_AMG = 5
  integer(c_int), parameter, public :: QVL3D_PRECONDITIONER_DEFAULT = -1, QVL3D_PRECONDITIONER_DILU = 0, &
                                       QVL3D_PRECONDITIONER_DIAGONAL = 1, QVL3D_PRECONDITIONER_NONE = 2, &
                                       QVL3D_PRECONDITIONER_ILU0 = 3, QVL3D_PRECONDITIONER_AMG = 4
  integer(c_int), parameter, public :: QVL3D_LAYOUT_CSR = 0, QVL3D_LAYOUT_NATIVE = 1, QVL3D_LAYOUT_ELL = 2
  integer(c_int), parameter, public :: QVL3D_REFERENCE_RHS = 0, QVL3D_REFERENCE_FIRST_ITERATION = 1

  type, bind(c) :: qvl3d_options
    integer(c_int) :: method, preconditioner, layout, reference
    real(c_double) :: rtol, atol
    integer(c_int) :: max_iter
    real(c_double) :: divtol
    type(c_funptr) :: monitor = c_null_funptr
    type(c_ptr) :: monitor_data = c_null_ptr
    integer(c_int) :: restart = 30
  end type qvl3d_options

  type, bind(c) :: qvl3d_result
    integer(c_int) :: status, converged, iterations, history_length
    real(c_double) :: initial_residual, final_residual, relative_residual, seconds
  end type qvl3d_result

  interface
    integer(c_int) function qvl3d_options_default(options) bind(c, name="qvl3d_options_default")
      import :: c_int, qvl3d_options
      type(qvl3d_options), intent(out) :: options
    end function

    ! Each word ends with c_null_char; all three are given.
    integer(c_int) function qvl3d_options_set_words(options, method, preconditioner, layout) &
        bind(c, name="qvl3d_options_set_words")
      import :: c_int, c_char, qvl3d_options
      type(qvl3d_options), intent(inout) :: options
      character(kind=c_char), intent(in) :: method(*), preconditioner(*), layout(*)
    end function

    integer(c_int) function qvl3d_solver_create(n, rowptr, col, val, base, options, solver) &
        bind(c, name="qvl3d_solver_create")
      import :: c_int, c_int32_t, c_double, c_ptr, qvl3d_options
      integer(c_int32_t), value :: n
      integer(c_int32_t), intent(in) :: rowptr(*), col(*)
      real(c_double), intent(in) :: val(*)
      integer(c_int), value :: base
      type(qvl3d_options), intent(in) :: options
      type(c_ptr), intent(out) :: solver
    end function

    integer(c_int) function qvl3d_solver_create64(n, rowptr, col, val, base, options, solver) &
        bind(c, name="qvl3d_solver_create64")
      import :: c_int, c_int32_t, c_int64_t, c_double, c_ptr, qvl3d_options
      integer(c_int32_t), value :: n
      integer(c_int64_t), intent(in) :: rowptr(*)
      integer(c_int32_t), intent(in) :: col(*)
      real(c_double), intent(in) :: val(*)
      integer(c_int), value :: base
      type(qvl3d_options), intent(in) :: options
      type(c_ptr), intent(out) :: solver
    end function

    integer(c_int) function qvl3d_solver_update(solver, val) bind(c, name="qvl3d_solver_update")
      import :: c_int, c_double, c_ptr
      type(c_ptr), value :: solver
      real(c_double), intent(in) :: val(*)
    end function

    integer(c_int) function qvl3d_solver_solve(solver, b, x, result) bind(c, name="qvl3d_solver_solve")
      import :: c_int, c_double, c_ptr, qvl3d_result
      type(c_ptr), value :: solver
      real(c_double), intent(in) :: b(*)
      real(c_double), intent(inout) :: x(*)
      type(qvl3d_result), intent(out) :: result
    end function

    integer(c_int) function qvl3d_solver_history(solver, history, capacity, length) &
        bind(c, name="qvl3d_solver_history")
      import :: c_int, c_double, c_ptr
      type(c_ptr), value :: solver
      real(c_double), intent(out) :: history(*)
      integer(c_int), value :: capacity
      integer(c_int), intent(out) :: length
    end function

    integer(c_int) function qvl3d_solver_size(solver, rows, entries) bind(c, name="qvl3d_solver_size")
      import :: c_int, c_int32_t, c_int64_t, c_ptr
      type(c_ptr), value :: solver
      integer(c_int32_t), intent(out) :: rows
      integer(c_int64_t), intent(out) :: entries
    end function

    subroutine qvl3d_solver_destroy(solver) bind(c, name="qvl3d_solver_destroy")
      import :: c_ptr
      type(c_ptr), value :: solver
    end subroutine

    ! solver may be c_null_ptr: the thread's last message.
    integer(c_size_t) function qvl3d_last_error_copy(solver, text, capacity) bind(c, name="qvl3d_last_error_copy")
      import :: c_size_t, c_char, c_ptr
      type(c_ptr), value :: solver
      character(kind=c_char), intent(out) :: text(*)
      integer(c_size_t), value :: capacity
    end function

    integer(c_size_t) function qvl3d_status_name_copy(status, text, capacity) bind(c, name="qvl3d_status_name_copy")
      import :: c_size_t, c_char, c_int
      integer(c_int), value :: status
      character(kind=c_char), intent(out) :: text(*)
      integer(c_size_t), value :: capacity
    end function

    ! comm is the communicator's Fortran handle (MPI_COMM_WORLD of the mpi
    ! module); ids is c_null_ptr for rows first, first+1, ..., else c_loc of
    ! the rank's n global ids.
    integer(c_int) function qvl3d_dsolver_create(comm, n, rowptr, col, val, base, ids, first, options, solver) &
        bind(c, name="qvl3d_dsolver_create")
      import :: c_int, c_int32_t, c_int64_t, c_double, c_ptr, qvl3d_options
      integer(c_int), value :: comm
      integer(c_int32_t), value :: n
      integer(c_int64_t), intent(in) :: rowptr(*), col(*)
      real(c_double), intent(in) :: val(*)
      integer(c_int), value :: base
      type(c_ptr), value :: ids
      integer(c_int64_t), value :: first
      type(qvl3d_options), intent(in) :: options
      type(c_ptr), intent(out) :: solver
    end function

    integer(c_int) function qvl3d_dsolver_update(solver, val) bind(c, name="qvl3d_dsolver_update")
      import :: c_int, c_double, c_ptr
      type(c_ptr), value :: solver
      real(c_double), intent(in) :: val(*)
    end function

    integer(c_int) function qvl3d_dsolver_solve(solver, b, x, result) bind(c, name="qvl3d_dsolver_solve")
      import :: c_int, c_double, c_ptr, qvl3d_result
      type(c_ptr), value :: solver
      real(c_double), intent(in) :: b(*)
      real(c_double), intent(inout) :: x(*)
      type(qvl3d_result), intent(out) :: result
    end function

    integer(c_int) function qvl3d_dsolver_history(solver, history, capacity, length) &
        bind(c, name="qvl3d_dsolver_history")
      import :: c_int, c_double, c_ptr
      type(c_ptr), value :: solver
      real(c_double), intent(out) :: history(*)
      integer(c_int), value :: capacity
      integer(c_int), intent(out) :: length
    end function

    subroutine qvl3d_dsolver_destroy(solver) bind(c, name="qvl3d_dsolver_destroy")
      import :: c_ptr
      type(c_ptr), value :: solver
    end subroutine

    integer(c_size_t) function qvl3d_dsolver_last_error_copy(solver, text, capacity) &
        bind(c, name="qvl3d_dsolver_last_error_copy")
      import :: c_size_t, c_char, c_ptr
      type(c_ptr), value :: solver
      character(kind=c_char), intent(out) :: text(*)
      integer(c_size_t), value :: capacity
    end function
  end interface
end module qvl3d
